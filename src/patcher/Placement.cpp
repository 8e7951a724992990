#include "patcher/Placement.h"

#include "app/PathParts.h"
#include "app/Text.h"
#include "patcher/ArchivePatch.h"
#include "platform/FileSystem.h"

namespace orv {

namespace {

// ASCII letters folded; the second byte of a double-byte character is no
// letter.
std::string FoldAscii(std::string_view name)
{
  std::string folded(name);
  for (std::size_t i = 0; i < folded.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(folded[i]);
    if (IsLeadByte(byte) && i + 1 < folded.size())
      ++i;
    else if (byte >= 'A' && byte <= 'Z')
      folded[i] = static_cast<char>(byte - 'A' + 'a');
  }
  return folded;
}

bool IsReservedComponent(const std::string& folded, bool topLevel)
{
  if (topLevel && (folded == FoldAscii(kUpdateMarkerName) || folded == FoldAscii(kWorkFolderName)))
    return true;
  // The temporary names are in lower case: a folded name is compared as it is.
  return IsCopyTemporaryName(folded) || IsRebuildFileName(folded);
}

}  // namespace

PlacementSources PlacementSourcesOf(std::string_view entry)
{
  return {SplitPath(entry).FileName(), std::string(entry)};
}

bool IsReservedGamePath(std::string_view relative)
{
  const std::string folded = FoldAscii(relative);
  std::size_t start = 0;
  for (std::size_t i = 0; i <= folded.size(); ++i) {
    if (i < folded.size()) {
      const unsigned char byte = static_cast<unsigned char>(folded[i]);
      if (IsLeadByte(byte) && i + 1 < folded.size()) {
        ++i;
        continue;
      }
      if (byte != '\\')
        continue;
    }
    if (IsReservedComponent(folded.substr(start, i - start), start == 0))
      return true;
    start = i + 1;
  }
  return false;
}

}  // namespace orv
