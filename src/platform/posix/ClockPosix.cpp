#include "platform/posix/ClockPosix.h"

#include <time.h>

namespace orv::posix {

// clock_gettime rather than <chrono>: in C++20 <chrono> holds a "µs" literal
// that has no Shift_JIS form, and this project compiles every literal to
// Shift_JIS.
std::uint32_t ClockPosix::Milliseconds()
{
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                    static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
}

}  // namespace orv::posix
