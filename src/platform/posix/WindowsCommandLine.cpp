#include "platform/posix/WindowsCommandLine.h"

#include "platform/posix/Cp932.h"

namespace orv::posix {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::size_t SkipBlanks(std::string_view text, std::size_t at)
{
  while (at < text.size() && IsBlank(text[at]))
    ++at;
  return at;
}

// The program's name takes no part in quoting games: Windows file names hold
// no quote, so whatever lies between the quotes is the name.
std::size_t ReadProgramName(std::string_view text, std::string& name)
{
  std::size_t at = 0;
  if (!text.empty() && text[0] == '"') {
    const std::size_t close = text.find('"', 1);
    const std::size_t end = close == std::string_view::npos ? text.size() : close;
    name.assign(text.substr(1, end - 1));
    return close == std::string_view::npos ? end : end + 1;
  }
  while (at < text.size() && !IsBlank(text[at]))
    ++at;
  name.assign(text.substr(0, at));
  return at;
}

// One argument starting at a non-blank; returns where it ended.
std::size_t ReadArgument(std::string_view text, std::size_t at, std::string& word)
{
  bool quoted = false;
  while (at < text.size()) {
    const char c = text[at];
    if (!quoted && IsBlank(c))
      break;
    if (IsCp932LeadByte(static_cast<unsigned char>(c)) && at + 1 < text.size()) {
      word.append(text.substr(at, 2));
      at += 2;
      continue;
    }
    if (c == '\\') {
      std::size_t count = 0;
      while (at < text.size() && text[at] == '\\') {
        ++count;
        ++at;
      }
      if (at < text.size() && text[at] == '"') {
        word.append(count / 2, '\\');
        if (count % 2 == 1) {
          word += '"';
          ++at;
        }
        // An even run leaves the quote to the next turn, which toggles.
      } else {
        word.append(count, '\\');
      }
      continue;
    }
    if (c == '"') {
      if (quoted && at + 1 < text.size() && text[at + 1] == '"') {
        word += '"';
        at += 2;
        continue;
      }
      quoted = !quoted;
      ++at;
      continue;
    }
    word += c;
    ++at;
  }
  return at;
}

void SplitArguments(std::string_view text, std::size_t at, std::vector<std::string>& words)
{
  for (at = SkipBlanks(text, at); at < text.size(); at = SkipBlanks(text, at)) {
    std::string word;
    at = ReadArgument(text, at, word);
    words.push_back(std::move(word));
  }
}

}  // namespace

std::vector<std::string> SplitWindowsCommandLine(std::string_view commandLine)
{
  std::vector<std::string> words;
  if (commandLine.empty())
    return words;
  std::string program;
  const std::size_t end = ReadProgramName(commandLine, program);
  words.push_back(std::move(program));
  SplitArguments(commandLine, end, words);
  return words;
}

std::vector<std::string> SplitWindowsArguments(std::string_view arguments)
{
  std::vector<std::string> words;
  SplitArguments(arguments, 0, words);
  return words;
}

}  // namespace orv::posix
