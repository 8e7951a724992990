#pragma once

#include "platform/Locale.h"

namespace orv::win32 {

class LocaleWin32 final : public Locale {
 public:
  std::uint32_t UserDefaultLocaleId() override;
  void UseJapaneseProcessLocale() override;
};

}  // namespace orv::win32
