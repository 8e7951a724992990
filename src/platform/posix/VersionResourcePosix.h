#pragma once

#include "platform/VersionResource.h"

namespace orv::posix {

// Linux programs and libraries carry no version resource: every file reads as
// having none.
class VersionResourcePosix final : public VersionResource {
 public:
  bool Read(const char*, std::vector<std::uint8_t>&) override { return false; }
  bool Query(const std::vector<std::uint8_t>&, const char*, const void**, std::size_t*) override
  {
    return false;
  }
};

}  // namespace orv::posix
