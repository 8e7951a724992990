#pragma once

#include <cstdint>

namespace orv {

class Clock {
 public:
  virtual ~Clock() = default;

  // Asks for a 1 ms resolution of the system timers for the life of the
  // program; EndTimerResolution gives it back.
  virtual void BeginTimerResolution() = 0;
  virtual void EndTimerResolution() = 0;

  // A millisecond clock that wraps at 2^32.
  virtual std::uint32_t Milliseconds() = 0;
};

}  // namespace orv
