#include "patcher/SafePath.h"

#include "app/Text.h"

namespace orv {

bool IsContainedRelativePath(std::string_view name)
{
  if (name.empty())
    return false;
  std::string_view component;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size()) {
      const unsigned char byte = static_cast<unsigned char>(name[i]);
      if (IsLeadByte(byte) && i + 1 < name.size()) {
        ++i;  // the trail byte may be '\' and is not a separator
        continue;
      }
      if (byte == ':')  // a drive, or a stream of a file on Windows
        return false;
      if (byte != '\\' && byte != '/')
        continue;
      if (i == 0)  // rooted
        return false;
    }
    component = name.substr(start, i - start);
    if (component == "..")
      return false;
    start = i + 1;
  }
  return true;
}

}  // namespace orv
