#include "platform/posix/LocalePosix.h"

#include <clocale>
#include <cstdlib>

namespace orv::posix {

namespace {

struct KnownLocale {
  std::string_view language;  // language_TERRITORY
  std::uint32_t id;
};

constexpr KnownLocale kKnownLocales[] = {
    {"ja_JP", 0x0411}, {"en_US", 0x0409}, {"en_GB", 0x0809}, {"de_DE", 0x0407},
    {"fr_FR", 0x040C}, {"ko_KR", 0x0412}, {"zh_CN", 0x0804}, {"zh_TW", 0x0404},
};

constexpr std::uint32_t kEnglishUnitedStates = 0x0409;

}  // namespace

std::uint32_t LocaleIdFromName(std::string_view name)
{
  // Drop the code set and modifier: "ja_JP.UTF-8@x" names ja_JP.
  const std::string_view language = name.substr(0, name.find_first_of(".@"));
  for (const KnownLocale& known : kKnownLocales) {
    if (language == known.language)
      return known.id;
  }
  return kEnglishUnitedStates;
}

std::uint32_t LocalePosix::UserDefaultLocaleId()
{
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value && *value)
      return LocaleIdFromName(value);
  }
  return kEnglishUnitedStates;
}

void LocalePosix::UseJapaneseProcessLocale()
{
  // The launcher handles its Shift_JIS texts as bytes and never depends on
  // the C library's multibyte functions, so a system without a Japanese
  // locale installed runs it just the same.
  for (const char* name : {"ja_JP.SJIS", "ja_JP.CP932", "ja_JP.sjis"}) {
    if (std::setlocale(LC_ALL, name))
      return;
  }
}

}  // namespace orv::posix
