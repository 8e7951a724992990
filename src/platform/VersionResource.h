#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orv {

// The version resource a program or library file carries.
class VersionResource {
 public:
  virtual ~VersionResource() = default;

  // Reads the file's whole version resource into block; false when the file
  // has none or it cannot be read.
  virtual bool Read(const char* path, std::vector<std::uint8_t>& block) = 0;

  // Looks a value up in a block that Read returned, by its query path such as
  // "\VarFileInfo\Translation" or "\StringFileInfo\041104b0\ProductName".
  // value points into the block; size is in bytes for binary values and in
  // characters (with the terminating zero) for texts.
  virtual bool Query(const std::vector<std::uint8_t>& block, const char* subBlock,
                     const void** value, std::size_t* size) = 0;
};

}  // namespace orv
