#include "app/PathParts.h"

#include "app/Text.h"

namespace orv {

PathParts SplitPath(std::string_view path)
{
  PathParts parts;
  if (path.size() >= 2 && path[1] == ':') {
    parts.drive = std::string(path.substr(0, 2));
    path.remove_prefix(2);
  }
  std::size_t nameStart = 0;
  std::size_t lastDot = std::string_view::npos;
  for (std::size_t i = 0; i < path.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(path[i]);
    if (IsLeadByte(byte) && i + 1 < path.size()) {
      ++i;
    } else if (byte == '\\' || byte == '/') {
      nameStart = i + 1;
      lastDot = std::string_view::npos;
    } else if (byte == '.') {
      lastDot = i;
    }
  }
  parts.folder = std::string(path.substr(0, nameStart));
  if (lastDot == std::string_view::npos) {
    parts.name = std::string(path.substr(nameStart));
  } else {
    parts.name = std::string(path.substr(nameStart, lastDot - nameStart));
    parts.extension = std::string(path.substr(lastDot));
  }
  return parts;
}

}  // namespace orv
