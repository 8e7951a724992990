#include "platform/posix/IniText.h"

#include <algorithm>
#include <limits>

#include "platform/posix/Cp932.h"

namespace orv::ini {

namespace {

constexpr std::string_view kNewLine = "\r\n";

// None of these bytes can be the second byte of a double-byte character, so
// testing single bytes is safe.
bool IsBlank(char c)
{
  return (c >= '\t' && c <= '\r') || c == ' ' || c == '\x1A';
}

std::string_view TrimFront(std::string_view text)
{
  while (!text.empty() && IsBlank(text.front()))
    text.remove_prefix(1);
  return text;
}

std::string_view TrimBack(std::string_view text)
{
  while (!text.empty() && IsBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

std::string_view Trim(std::string_view text)
{
  return TrimBack(TrimFront(text));
}

char FoldAscii(char c)
{
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Length of the character at the start of text: 2 for a lead byte with its
// second byte, else 1.
std::size_t CharacterLength(std::string_view text)
{
  return posix::IsCp932LeadByte(static_cast<unsigned char>(text[0])) && text.size() > 1 ? 2 : 1;
}

// Offsets where the text's characters start.
std::vector<std::size_t> CharacterStarts(std::string_view text)
{
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at < text.size(); at += CharacterLength(text.substr(at)))
    starts.push_back(at);
  return starts;
}

// Position of the last ']' that is a character of its own and not the second
// byte of a double-byte character ("ゾ" is 83 5D).
std::size_t FindLastClosingBracket(std::string_view line)
{
  std::size_t found = std::string_view::npos;
  for (const std::size_t at : CharacterStarts(line))
    if (line[at] == ']')
      found = at;
  return found;
}

Section* FindSection(std::vector<Section>& sections, std::string_view name)
{
  name = Trim(name);
  for (Section& section : sections)
    if (NamesEqual(section.name, name))
      return &section;
  return nullptr;
}

Entry* FindEntry(Section& section, std::string_view name)
{
  name = Trim(name);
  for (Entry& entry : section.entries)
    if (NamesEqual(entry.name, name))
      return &entry;
  return nullptr;
}

}  // namespace

std::vector<Section> Parse(std::string_view text)
{
  std::vector<Section> sections(1);
  // A line without a name is kept only when the entry before it has one, so
  // that a run of them shrinks to one.
  const Entry* previous = nullptr;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t begin = at;
    while (at < text.size() && text[at] != '\n' && text[at] != '\r')
      ++at;
    const std::string_view line = Trim(text.substr(begin, at - begin));
    while (at < text.size() && (text[at] == '\n' || text[at] == '\r'))
      ++at;
    if (line.empty())
      continue;

    if (line.front() == '[') {
      const std::size_t close = FindLastClosingBracket(line);
      if (close != std::string_view::npos && close > 0) {
        sections.push_back({std::string(Trim(line.substr(1, close - 1))), {}});
        previous = nullptr;
        continue;
      }
      // Without its bracket the line is no header: an entry like any other.
    }

    Entry entry;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      entry.name = std::string(line);
    } else {
      entry.name = std::string(TrimBack(line.substr(0, equals)));
      entry.value = std::string(TrimFront(line.substr(equals + 1)));
    }
    if (!entry.name.empty() || !previous || !previous->name.empty()) {
      sections.back().entries.push_back(std::move(entry));
      previous = &sections.back().entries.back();
    }
  }
  return sections;
}

std::string Serialise(const std::vector<Section>& sections)
{
  std::string text;
  for (const Section& section : sections) {
    // Only the lines before the first header have none. A header with an
    // empty name ("[]") is a header all the same: without it, its keys
    // would fall into the section above.
    if (&section != &sections.front()) {
      text += '[';
      text += section.name;
      text += ']';
      text += kNewLine;
    }
    for (const Entry& entry : section.entries) {
      text += entry.name;
      if (entry.value) {
        text += '=';
        text += *entry.value;
      }
      text += kNewLine;
    }
  }
  return text;
}

bool NamesEqual(std::string_view a, std::string_view b)
{
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (posix::IsCp932LeadByte(static_cast<unsigned char>(a[i])) && i + 1 < a.size()) {
      if (a[i] != b[i] || a[i + 1] != b[i + 1])
        return false;
      ++i;
    } else if (FoldAscii(a[i]) != FoldAscii(b[i])) {
      return false;
    }
  }
  return true;
}

std::optional<std::string> FindStored(std::string_view text, std::string_view section,
                                      std::string_view key)
{
  std::vector<Section> sections = Parse(text);
  Section* found = FindSection(sections, section);
  const Entry* entry = found ? FindEntry(*found, key) : nullptr;
  if (!entry)
    return std::nullopt;
  return entry->value;
}

std::string CopyOut(std::string_view value, std::size_t bufferSize)
{
  if (bufferSize == 0)
    return {};
  std::vector<std::size_t> starts = CharacterStarts(value);
  bool quoted = false;
  if (starts.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    quoted = true;
    value.remove_prefix(1);
    starts = CharacterStarts(value);
  }
  // The platform copies up to bufferSize - 1 characters and then, for a
  // quoted value, drops the last character copied whenever the buffer is at
  // least as long as the rest of the value: that is the closing quote, or
  // the value's last character when the buffer was just too short for both.
  std::size_t characters = std::min(bufferSize - 1, starts.size());
  if (quoted && bufferSize >= starts.size() && characters > 0)
    --characters;
  std::size_t bytes = characters < starts.size() ? starts[characters] : value.size();
  // Only whole characters that fit into bufferSize - 1 bytes are handed out.
  while (bytes > bufferSize - 1) {
    --characters;
    bytes = starts[characters];
  }
  return std::string(value.substr(0, bytes));
}

std::string_view DefaultText(std::string_view defaultValue)
{
  while (!defaultValue.empty() && defaultValue.back() == ' ')
    defaultValue.remove_suffix(1);
  return defaultValue;
}

std::optional<std::string> Find(std::string_view text, std::string_view section,
                                std::string_view key)
{
  const std::optional<std::string> stored = FindStored(text, section, key);
  if (!stored)
    return std::nullopt;
  return CopyOut(*stored, std::numeric_limits<std::size_t>::max());
}

bool SectionHasKeys(std::string_view text, std::string_view section)
{
  std::vector<Section> sections = Parse(text);
  const Section* found = FindSection(sections, section);
  if (!found)
    return false;
  for (const Entry& entry : found->entries) {
    if (entry.value && (entry.name.empty() || entry.name.front() != ';'))
      return !entry.name.empty();
  }
  return false;
}

std::optional<std::string> Set(std::string_view text, std::string_view section,
                               std::string_view key, std::string_view value)
{
  std::vector<Section> sections = Parse(text);
  Section* target = FindSection(sections, section);
  if (!target) {
    sections.push_back({std::string(TrimFront(section)), {}});
    target = &sections.back();
  }
  Entry* entry = FindEntry(*target, key);
  if (!entry) {
    target->entries.push_back({std::string(TrimFront(key)), std::nullopt});
    entry = &target->entries.back();
  }
  value = TrimFront(value);
  if (entry->value && *entry->value == value)
    return std::nullopt;
  entry->value = std::string(value);
  return Serialise(sections);
}

std::uint32_t ParseInt(std::string_view value)
{
  std::size_t at = 0;
  while (at < value.size() && static_cast<unsigned char>(value[at]) <= ' ')
    ++at;
  bool negative = false;
  if (at < value.size() && (value[at] == '+' || value[at] == '-')) {
    negative = value[at] == '-';
    ++at;
  }
  std::uint32_t base = 10;
  if (value.size() - at >= 2 && value[at] == '0') {
    const char prefix = value[at + 1];
    base = prefix == 'x' ? 16 : prefix == 'o' ? 8 : prefix == 'b' ? 2 : 10;
    if (base != 10)
      at += 2;
  }
  std::uint32_t number = 0;
  for (; at < value.size(); ++at) {
    const char c = value[at];
    std::uint32_t digit = 36;
    if (c >= '0' && c <= '9')
      digit = static_cast<std::uint32_t>(c - '0');
    else if (c >= 'A' && c <= 'Z')
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    else if (c >= 'a' && c <= 'z')
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    if (digit >= base)
      break;
    number = number * base + digit;
  }
  return negative ? 0u - number : number;
}

}  // namespace orv::ini
