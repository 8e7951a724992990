#include "platform/win32/Win32Error.h"

#include <windows.h>

#include <string>

namespace orv::win32 {

std::uint32_t LastErrorOr(std::uint32_t fallback)
{
  const DWORD error = GetLastError();
  return error != 0 ? error : fallback;
}

std::size_t LastSeparator(const char* path)
{
  std::size_t last = std::string::npos;
  for (std::size_t i = 0; path[i] != '\0'; ++i) {
    if (IsDBCSLeadByte(static_cast<BYTE>(path[i])) && path[i + 1] != '\0')
      ++i;
    else if (path[i] == '\\' || path[i] == '/')
      last = i;
  }
  return last;
}

}  // namespace orv::win32
