// The cabinets on Windows, where there is no gcab: written in this process.
// The names keep their Shift_JIS bytes unmarked, which is how SetupAPI hands
// them back, in the ANSI code page, to the launcher's walk.
#include "patchkit/CabinetMaker.h"

#include "patchkit/CabinetWriter.h"
#include "patchkit/Files.h"

namespace orv::patchkit {

bool MakeCabinet(const std::filesystem::path& cabinet, const std::vector<CabinetFile>& files,
                 bool compress, std::string& error)
{
  std::vector<CabinetFile> stored = files;
  for (CabinetFile& file : stored) {
    file.name = CabinetName(file.name);
    if (!file.source.empty() && !ReadWholeFile(file.source, file.content, error))
      return false;
  }
  std::string bytes;
  return WriteCabinet(stored, {.compress = compress}, bytes, error) &&
         WriteWholeFile(cabinet, bytes, error);
}

}  // namespace orv::patchkit
