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

  // The drive and the folder: where the file lies, ending in its separator.
  std::string Location() const { return drive + folder; }
  // The name with its extension.
  std::string FileName() const { return name + extension; }
  // The whole path without the extension.
  std::string WithoutExtension() const { return drive + folder + name; }
};

PathParts SplitPath(std::string_view path);

}  // namespace orv
