#pragma once

#include "platform/Cabinet.h"

namespace orv::win32 {

// Cabinets through SetupIterateCabinetA. Each file is written beside its
// target under a temporary name and renamed over the target once whole, so
// a failed extraction leaves no short file that looks complete.
class CabinetSetupApi final : public CabinetWalker {
 public:
  std::uint32_t Iterate(const char* cabinetPath, const FileCallback& onFile) override;
};

}  // namespace orv::win32
