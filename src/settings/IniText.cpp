#include "settings/IniText.h"

#include <vector>

#include "app/Text.h"

namespace orv::ini {

namespace {

constexpr std::string_view kNewLine = "\r\n";

bool IsBlank(char c)
{
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text)
{
  while (!text.empty() && IsBlank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

char FoldAscii(char c)
{
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Position of the first ']' that is a character of its own and not the second
// byte of a double-byte character.
std::size_t FindClosingBracket(std::string_view text)
{
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (IsLeadByte(static_cast<unsigned char>(text[i])))
      ++i;
    else if (text[i] == ']')
      return i;
  }
  return std::string_view::npos;
}

enum class LineKind { Other, Section, Key };

// One line of the text, without its line end.
struct Line {
  std::size_t begin;  // offset of the line in the text
  std::size_t end;    // offset of its line end (or of the text's end)
  std::size_t next;   // offset of the following line
  LineKind kind;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // key value, trimmed
};

std::vector<Line> SplitLines(std::string_view text)
{
  std::vector<Line> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t newline = text.find('\n', at);
    std::size_t next = newline == std::string_view::npos ? text.size() : newline + 1;
    std::size_t end = newline == std::string_view::npos ? text.size() : newline;
    if (end > at && text[end - 1] == '\r')
      --end;

    Line line{at, end, next, LineKind::Other, {}, {}};
    const std::string_view content = Trim(text.substr(at, end - at));
    if (!content.empty() && content.front() == '[') {
      const std::size_t close = FindClosingBracket(content);
      line.kind = LineKind::Section;
      line.name = Trim(content.substr(1, close == std::string_view::npos ? std::string_view::npos
                                                                         : close - 1));
    } else if (!content.empty() && content.front() != ';') {
      const std::size_t equals = content.find('=');
      if (equals != std::string_view::npos) {
        line.kind = LineKind::Key;
        line.name = Trim(content.substr(0, equals));
        line.value = Trim(content.substr(equals + 1));
      }
    }
    lines.push_back(line);
    at = next;
  }
  return lines;
}

std::string Unquote(std::string_view value)
{
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return std::string(value);
}

// Index of the first key line named key in any section named section.
std::optional<std::size_t> FindKeyLine(const std::vector<Line>& lines, std::string_view section,
                                       std::string_view key)
{
  bool inSection = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Line& line = lines[i];
    if (line.kind == LineKind::Section)
      inSection = NamesEqual(line.name, section);
    else if (inSection && line.kind == LineKind::Key && NamesEqual(line.name, key))
      return i;
  }
  return std::nullopt;
}

// Ends the text's last line when it has no line feed yet; a bare CR already
// there only needs its LF, or the line's own value would gain a CR.
void EndLastLine(std::string& text)
{
  if (text.empty() || text.back() == '\n')
    return;
  text.append(text.back() == '\r' ? "\n" : "\r\n");
}

std::string KeyLine(std::string_view key, std::string_view value)
{
  std::string line(key);
  line += '=';
  line += value;
  return line;
}

}  // namespace

bool NamesEqual(std::string_view a, std::string_view b)
{
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (IsLeadByte(static_cast<unsigned char>(a[i])) && i + 1 < a.size()) {
      if (a[i] != b[i] || a[i + 1] != b[i + 1])
        return false;
      ++i;
    } else if (FoldAscii(a[i]) != FoldAscii(b[i])) {
      return false;
    }
  }
  return true;
}

std::optional<std::string> Find(std::string_view text, std::string_view section,
                                std::string_view key)
{
  const std::vector<Line> lines = SplitLines(text);
  const std::optional<std::size_t> found = FindKeyLine(lines, section, key);
  if (!found)
    return std::nullopt;
  return Unquote(lines[*found].value);
}

bool SectionHasKeys(std::string_view text, std::string_view section)
{
  bool inSection = false;
  for (const Line& line : SplitLines(text)) {
    if (line.kind == LineKind::Section)
      inSection = NamesEqual(line.name, section);
    else if (inSection && line.kind == LineKind::Key)
      return true;
  }
  return false;
}

std::string Set(std::string_view text, std::string_view section, std::string_view key,
                std::string_view value)
{
  const std::vector<Line> lines = SplitLines(text);
  std::string result;

  if (const std::optional<std::size_t> found = FindKeyLine(lines, section, key)) {
    const Line& line = lines[*found];
    result.append(text.substr(0, line.begin));
    result.append(KeyLine(key, value));
    result.append(text.substr(line.end));
    return result;
  }

  // The first section of that name takes the new key after its last key line
  // (or right after its header when it has none).
  std::optional<std::size_t> header;
  std::size_t insertAfter = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Line& line = lines[i];
    if (line.kind == LineKind::Section) {
      if (header)
        break;
      if (NamesEqual(line.name, section)) {
        header = i;
        insertAfter = i;
      }
    } else if (header && line.kind == LineKind::Key) {
      insertAfter = i;
    }
  }

  if (header) {
    const Line& line = lines[insertAfter];
    result.append(text.substr(0, line.next));
    EndLastLine(result);
    result.append(KeyLine(key, value));
    result.append(kNewLine);
    result.append(text.substr(line.next));
    return result;
  }

  result.append(text);
  EndLastLine(result);
  result.append("[");
  result.append(section);
  result.append("]");
  result.append(kNewLine);
  result.append(KeyLine(key, value));
  result.append(kNewLine);
  return result;
}

std::uint32_t ParseInt(std::string_view value)
{
  std::size_t at = 0;
  while (at < value.size() && IsBlank(value[at]))
    ++at;
  bool negative = false;
  if (at < value.size() && (value[at] == '+' || value[at] == '-')) {
    negative = value[at] == '-';
    ++at;
  }
  std::uint32_t number = 0;
  for (; at < value.size() && value[at] >= '0' && value[at] <= '9'; ++at)
    number = number * 10 + static_cast<std::uint32_t>(value[at] - '0');
  return negative ? 0u - number : number;
}

}  // namespace orv::ini
