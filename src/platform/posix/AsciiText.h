#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Byte-wise text helpers for what the Linux back-ends compare without regard
// to letter case: HTTP header names, file name patterns, library suffixes.
// Only the bytes of ASCII letters fold; every other byte compares exactly.
// They know nothing of double-byte characters: a caller comparing Shift_JIS
// text keeps the second byte of a character from being folded itself.
namespace orv::posix {

constexpr char AsciiLower(char c)
{
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char AsciiUpper(char c)
{
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
bool ContainsNoCase(std::string_view text, std::string_view word);

// The text without the blanks and line ends around it (space, tab, and CR LF
// at its end), as a header line arrives.
std::string_view TrimLine(std::string_view text);

// A decimal number with nothing around it; nullopt for anything else,
// including a number that does not fit 64 bits.
std::optional<std::uint64_t> ParseDecimal(std::string_view text);

}  // namespace orv::posix
