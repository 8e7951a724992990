#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace orv::patchkit {

// One file of a cabinet. The name is Shift_JIS, as the launcher spells it,
// with folders separated by `\` or `/`. The bytes are `content`, or, when
// `source` is set, the file there, read as the cabinet is written so that a
// large step never has to sit in memory.
struct CabinetFile {
  std::string name;
  std::string content;
  std::filesystem::path source{};
};

// Writes a real cabinet holding the files in this order, compressed with
// MSZIP when compress is true. Each name is stored exactly as given, with `\`
// separators; names a packing tool would tidy ("..\evil.txt") are stored as
// given too, so that hostile cabinets can be made on purpose. On Linux gcab
// makes it and a name that is not plain ASCII is stored as UTF-8 marked as
// such; on Windows it is written in this process with the Shift_JIS bytes as
// they are. False, with the reason in `error`, when it fails.
bool MakeCabinet(const std::filesystem::path& cabinet, const std::vector<CabinetFile>& files,
                 bool compress, std::string& error);

}  // namespace orv::patchkit
