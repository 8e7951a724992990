#include "platform/win32/Win32Error.h"

#include <windows.h>

#include <string>

namespace orv::win32 {

std::uint32_t LastErrorOr(std::uint32_t fallback)
{
  const DWORD error = GetLastError();
  return error != 0 ? error : fallback;
}

std::string ErrorText(std::uint32_t error, const char* module)
{
  std::string text = std::to_string(error);
  char* message = nullptr;
  HMODULE source = module ? GetModuleHandleA(module) : nullptr;
  DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  if (source)
    flags |= FORMAT_MESSAGE_FROM_HMODULE;
  DWORD length =
      FormatMessageA(flags, source, error, 0, reinterpret_cast<char*>(&message), 0, nullptr);
  if (length == 0 || !message) {
    LocalFree(message);
    return text;
  }
  // The system's texts end in a line break, which the log line has already.
  while (length > 0 &&
         (message[length - 1] == '\r' || message[length - 1] == '\n' || message[length - 1] == ' '))
    --length;
  std::string said(message, length);
  LocalFree(message);
  // A text of several lines stays on the one log line.
  for (char& c : said)
    if (c == '\r' || c == '\n')
      c = ' ';
  text += " (" + said + ")";
  return text;
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
