#include "platform/win32/ProfileWin32.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace orv::win32 {

std::string ProfileWin32::GetString(const char* section, const char* key,
                                    const char* defaultValue, std::size_t bufferSize,
                                    const char* path)
{
  if (bufferSize == 0)
    return {};
  // The API counts in a DWORD; nobody keeps a value of 4 GiB in a profile.
  bufferSize = std::min<std::size_t>(bufferSize, std::numeric_limits<DWORD>::max());
  std::string value(bufferSize, '\0');
  const DWORD length = GetPrivateProfileStringA(section, key, defaultValue, value.data(),
                                                static_cast<DWORD>(bufferSize), path);
  // The length the API answers and the terminator it wrote agree, except
  // where a cut split a double-byte character: the terminator wins.
  value.resize(strnlen(value.data(), std::min<std::size_t>(length, bufferSize - 1)));
  return value;
}

std::uint32_t ProfileWin32::GetInt(const char* section, const char* key,
                                   std::int32_t defaultValue, const char* path)
{
  return GetPrivateProfileIntA(section, key, defaultValue, path);
}

bool ProfileWin32::WriteString(const char* section, const char* key, const char* value,
                               const char* path)
{
  return WritePrivateProfileStringA(section, key, value, path) != FALSE;
}

bool ProfileWin32::SectionHasKeys(const char* section, const char* path)
{
  // With no key name the API lists the section's key names; the first byte
  // tells whether there is one. A cut list still starts with a name.
  char names[64] = {};
  GetPrivateProfileStringA(section, nullptr, "", names, sizeof names, path);
  return names[0] != '\0';
}

}  // namespace orv::win32
