// Settings files are edited by hand: any text must read without fault, and a
// write must give back the value written and leave every other key alone.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/posix/IniText.h"

namespace {

constexpr const char* kNames[] = {"Conf", "conf", "A", "Key", "LastGID", "AccountData0"};
constexpr std::size_t kNameCount = sizeof kNames / sizeof kNames[0];

void Check(bool condition)
{
  if (!condition)
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size < 3)
    return 0;
  const std::string section = kNames[data[0] % kNameCount];
  const std::string key = kNames[data[1] % kNameCount];
  const std::string value = "v" + std::to_string(data[2]);
  const std::string text(reinterpret_cast<const char*>(data + 3), size - 3);

  // No text means the file already holds the value and is not written.
  const std::optional<std::string> changed = orv::ini::Set(text, section, key, value);
  const std::string written = changed ? *changed : text;
  Check(orv::ini::Find(written, section, key) == value);
  // Whether the section lists keys depends on its first line; only that it
  // reads without fault is checked.
  orv::ini::SectionHasKeys(written, section);

  for (const char* otherSection : kNames) {
    for (const char* otherKey : kNames) {
      if (orv::ini::NamesEqual(otherSection, section) && orv::ini::NamesEqual(otherKey, key))
        continue;
      Check(orv::ini::Find(written, otherSection, otherKey) ==
            orv::ini::Find(text, otherSection, otherKey));
    }
  }
  orv::ini::ParseInt(text);
  return 0;
}
