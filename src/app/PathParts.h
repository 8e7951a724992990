#pragma once

#include <string>
#include <string_view>

namespace orv {

// A path taken apart the way the Windows runtime does it: "C:", the folder
// with its trailing separator, the name, and the extension with its dot.
// A `\` inside a Shift_JIS double-byte character is not a separator.
struct PathParts {
  std::string drive;
  std::string folder;
  std::string name;
  std::string extension;
};

PathParts SplitPath(std::string_view path);

}  // namespace orv
