#pragma once

#include "platform/Clock.h"

namespace orv::win32 {

class ClockWin32 final : public Clock {
 public:
  void BeginTimerResolution() override;
  void EndTimerResolution() override;
  std::uint32_t Milliseconds() override;
};

}  // namespace orv::win32
