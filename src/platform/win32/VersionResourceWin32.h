#pragma once

#include "platform/VersionResource.h"

namespace orv::win32 {

// The VERSION library. Query answers pointers into the block, which the
// ANSI query also writes its converted texts into: keep the block unchanged
// and alive while they are used.
class VersionResourceWin32 final : public VersionResource {
 public:
  bool Read(const char* path, std::vector<std::uint8_t>& block) override;
  bool Query(const std::vector<std::uint8_t>& block, const char* subBlock, const void** value,
             std::size_t* size) override;
};

}  // namespace orv::win32
