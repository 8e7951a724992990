#include "platform/win32/ClockWin32.h"

#include <windows.h>
#include <mmsystem.h>

namespace orv::win32 {

void ClockWin32::BeginTimerResolution()
{
  timeBeginPeriod(1);
}

void ClockWin32::EndTimerResolution()
{
  timeEndPeriod(1);
}

std::uint32_t ClockWin32::Milliseconds()
{
  return timeGetTime();
}

}  // namespace orv::win32
