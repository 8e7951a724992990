#pragma once

#include <cstdint>
#include <string_view>

#include "platform/Locale.h"

namespace orv::posix {

// The user locale comes from the environment as the C library reads it:
// LC_ALL, then LC_MESSAGES, then LANG.
class LocalePosix final : public Locale {
 public:
  std::uint32_t UserDefaultLocaleId() override;
  void UseJapaneseProcessLocale() override;
};

// The Windows locale id of a POSIX locale name such as "ja_JP.UTF-8";
// en-US (0x0409) for names it does not know, as for "C".
std::uint32_t LocaleIdFromName(std::string_view name);

}  // namespace orv::posix
