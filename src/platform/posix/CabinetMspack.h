#pragma once

#include "platform/Cabinet.h"

namespace orv::posix {

// Cabinets on Linux through libmspack.
class CabinetMspack final : public CabinetWalker {
 public:
  std::uint32_t Iterate(const char* cabinetPath, const FileCallback& onFile) override;
};

}  // namespace orv::posix
