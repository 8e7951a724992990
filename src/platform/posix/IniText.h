#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The profile (INI) format as the launcher's settings file uses it, on text
// held in memory. Platforms without a profile API read and write their files
// with it, and it behaves as the Windows profile functions do:
// - A file is read as lines, split at any run of CR and LF; blanks (space,
//   tab, VT, FF, CR, LF and the DOS end-of-file mark ^Z) around a line, a name
//   or a value do not count, and blank lines hold nothing.
// - "[name]" opens a section, up to the line's last ']'; a line before the
//   first section belongs to an unnamed one. Any other line is an entry of
//   the current section: "name=value", or a bare name with no value at all.
//   Comments (';') are entries too: they keep their place, and a name
//   starting with ';' is found by that name but never listed.
// - Names compare without regard to ASCII letter case; the bytes of a
//   Shift_JIS double-byte character compare exactly.
// - Only the first section of a name counts, and in it the first entry of a
//   name: later ones are kept in the file but never read.
// - A write that changes the file writes it whole again from what was read:
//   every line ends in CR LF, blanks around names and values and blank lines
//   are gone, and every entry keeps its order and the file's spelling.
namespace orv::ini {

// One line of a section: a name with a value, or a bare name without '='.
struct Entry {
  std::string name;
  std::optional<std::string> value;
};

struct Section {
  std::string name;  // empty for the lines before the first section, and for "[]"
  std::vector<Entry> entries;
};

// The sections in file order; the first is the lines before any header.
std::vector<Section> Parse(std::string_view text);
// Every section but the first is written with its header, "[]" included.
std::string Serialise(const std::vector<Section>& sections);

bool NamesEqual(std::string_view a, std::string_view b);

// The value the file holds for the key (blanks around it removed, quotes
// kept), or nothing when the section or the key is missing or the key has no
// '='.
std::optional<std::string> FindStored(std::string_view text, std::string_view section,
                                      std::string_view key);

// A text as the read functions hand it to a buffer of bufferSize bytes (at
// least 1): a value enclosed in a matching pair of quotes (' or ") loses them,
// and what does not fit into bufferSize - 1 bytes is cut at a character
// boundary. The quote test counts characters against the buffer before the
// cut, so a quoted value that only just fits loses its last character too.
std::string CopyOut(std::string_view value, std::size_t bufferSize);

// A read's default as it is handed out: trailing spaces do not count.
std::string_view DefaultText(std::string_view defaultValue);

// FindStored through an unlimited buffer: the value as it reads.
std::optional<std::string> Find(std::string_view text, std::string_view section,
                                std::string_view key);

// Whether the first section of that name lists a key: its first entry with a
// value that is not a comment. An entry with an empty name lists as nothing.
bool SectionHasKeys(std::string_view text, std::string_view section);

// The text with key set to value (leading blanks of the value dropped), or
// nothing when the key already holds that value and the file need not be
// written. A missing section goes at the end, a missing key at the end of its
// section, both spelt as given less leading blanks.
std::optional<std::string> Set(std::string_view text, std::string_view section,
                               std::string_view key, std::string_view value);

// An integer read looks at no more than this many bytes of the value
// (including the terminator), as the platform's own read does.
constexpr std::size_t kIntBufferSize = 30;

// The number an integer read gives: leading control characters and blanks,
// an optional sign, an optional "0x", "0o" or "0b" base prefix, then digits
// of that base up to the first other character; 0 when there are none.
// Digits beyond 32 bits wrap around.
std::uint32_t ParseInt(std::string_view value);

}  // namespace orv::ini
