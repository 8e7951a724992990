#include "platform/win32/LocaleWin32.h"

#include <windows.h>

#include <clocale>

namespace orv::win32 {

std::uint32_t LocaleWin32::UserDefaultLocaleId()
{
  return GetUserDefaultLCID();
}

void LocaleWin32::UseJapaneseProcessLocale()
{
  std::setlocale(LC_ALL, "japanese");
}

}  // namespace orv::win32
