#pragma once

#include <string>
#include <string_view>

namespace orv {

class CGlobal;

// Applies every .dfl patch lying directly in the work folder to the game's
// archive it names; false, with its log lines written, when one fails (later
// patches are then not applied).
bool ApplyPatchFiles(CGlobal& global);

// Applies one .dfl to its archive pair in the game folder, then rebuilds the
// pair when the ReStruct setting is 1.
bool ApplyPatchFile(CGlobal& global, const std::string& dflPath);

// Rewrites an archive pair without dead bytes, every entry unpacked, working
// from backup copies of the pair; on failure the previous pair is put back.
bool RebuildArchive(CGlobal& global, const std::string& datPath);

// Settles an archive whose rebuild was cut short (base: its path without
// extension): the pair that was committed stays, the other files of the
// rebuild go, and one log line names the archive. True when nothing was
// left to settle or all of it was; false, logged, when a file could not be
// moved or removed.
bool SettleArchive(CGlobal& global, const std::string& base);

// Whether a file name is one a rebuild uses besides the pair itself, and the
// archive's path without extension for such a path.
bool IsRebuildFileName(std::string_view name);
std::string RebuildArchiveBase(std::string_view path);

// The text with every occurrence of find replaced. A match starts only where
// a Shift_JIS character starts: the second byte of a double-byte character may
// equal '_' or '\' without being one.
std::string ReplaceAll(std::string_view text, std::string_view find, std::string_view replacement);

}  // namespace orv
