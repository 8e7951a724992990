#include "platform/posix/AsciiText.h"

#include <limits>

namespace orv::posix {

bool EqualsNoCase(std::string_view a, std::string_view b)
{
  return a.size() == b.size() && StartsWithNoCase(a, b);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
  if (text.size() < prefix.size())
    return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (AsciiLower(text[i]) != AsciiLower(prefix[i]))
      return false;
  return true;
}

bool ContainsNoCase(std::string_view text, std::string_view word)
{
  for (std::size_t i = 0; i + word.size() <= text.size(); ++i)
    if (StartsWithNoCase(text.substr(i), word))
      return true;
  return false;
}

std::string_view TrimLine(std::string_view text)
{
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() &&
         (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
    text.remove_suffix(1);
  return text;
}

std::optional<std::uint64_t> ParseDecimal(std::string_view text)
{
  if (text.empty())
    return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10)
      return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace orv::posix
