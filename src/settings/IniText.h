#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The profile (INI) format as the launcher's settings file uses it, on text
// held in memory. Platforms without a profile API read and write their files
// with it; its rules are those of the Windows profile functions:
// - "[name]" opens a section; "key=value" lines belong to the last section;
//   lines starting with ';' and lines without '=' hold no key.
// - Names compare without regard to ASCII letter case; the bytes of a
//   Shift_JIS double-byte character compare exactly.
// - Blanks and tabs around names and values do not count; a value enclosed in
//   a matching pair of quotes (' or ") reads without them.
// - When a section name occurs twice, a key is looked for in each in turn.
namespace orv::ini {

bool NamesEqual(std::string_view a, std::string_view b);

// The key's value, or nothing when the section or the key is missing.
std::optional<std::string> Find(std::string_view text, std::string_view section,
                                std::string_view key);

// Whether some section of that name holds at least one key.
bool SectionHasKeys(std::string_view text, std::string_view section);

// The text with key set to value: an existing key line is replaced where it
// stands, a new key goes after the last key of the section, a new section at
// the end of the text. Every other line stays byte for byte.
std::string Set(std::string_view text, std::string_view section, std::string_view key,
                std::string_view value);

// The number a profile integer read gives: optional blanks, an optional sign,
// then decimal digits up to the first other character; 0 when there are none.
std::uint32_t ParseInt(std::string_view value);

}  // namespace orv::ini
