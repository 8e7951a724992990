#pragma once

#include "platform/Clock.h"

namespace orv::posix {

class ClockPosix final : public Clock {
 public:
  // Linux timers already have a fine resolution; nothing to ask for.
  void BeginTimerResolution() override {}
  void EndTimerResolution() override {}
  std::uint32_t Milliseconds() override;
};

}  // namespace orv::posix
