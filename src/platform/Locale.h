#pragma once

#include <cstdint>

namespace orv {

inline constexpr std::uint32_t kJapaneseLocaleId = 0x0411;

class Locale {
 public:
  virtual ~Locale() = default;

  // The user's default locale id (0x0411 for Japanese, Japan).
  virtual std::uint32_t UserDefaultLocaleId() = 0;

  // Switches the process to the Japanese locale (code page 932) for the
  // standard library and the runtime, as far as the platform has one.
  virtual void UseJapaneseProcessLocale() = 0;
};

}  // namespace orv
