#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

class CGlobal;

// Applies every .dfl patch lying directly in the work folder to the game's
// archive it names; false, with its log lines written, when one fails (later
// patches are then not applied).
bool ApplyPatchFiles(CGlobal& global);

// Applies one .dfl to its archive pair in the game folder, whole or not at
// all, then rebuilds the pair when the ReStruct setting is 1. False when the
// patch or a rebuild that started did not commit.
bool ApplyPatchFile(CGlobal& global, const std::string& dflPath);

// The names of the .dfl files directly in the work folder, in the order
// they are applied; 0 or the listing's error.
std::uint32_t FindPatchFiles(CGlobal& global, std::vector<std::string>& names);
// The archive a .dfl patches, relative to the game folder, without
// extension ("data_main.dfl" patches "data\main").
std::string PatchedArchive(std::string_view dflName);

enum class RebuildOutcome {
  Rebuilt,
  // Not begun, nothing touched: backups of someone else's lie where the
  // rebuild's would go.
  NotStarted,
  // Begun and not committed: the previous pair is back when the log says
  // so; otherwise the files are left for SettleArchive.
  Failed,
};

// Rewrites an archive pair without dead bytes, every entry unpacked, working
// from backup copies of the pair; on failure the previous pair is put back.
RebuildOutcome RebuildArchive(CGlobal& global, const std::string& datPath);

// Cuts the archive's .dat (base: its path without extension) to the end of
// the bytes its index describes, but never below floor; true when nothing
// was to cut or the cut is done, false, logged, when a file could not be
// read or cut.
bool CutDataToIndex(CGlobal& global, const std::string& base, std::uint64_t floor);

// Settles an archive whose rebuild was cut short (base: its path without
// extension): the pair that was committed stays, the other files of the
// rebuild go, and one log line names the archive. True when nothing was
// left to settle or all of it was; false, logged, when a file could not be
// moved or removed, or could not be told present or absent.
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
