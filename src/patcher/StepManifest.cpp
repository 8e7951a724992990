#include "patcher/StepManifest.h"

#include <algorithm>
#include <cstdio>

#include "patcher/SafePath.h"

namespace orv {

namespace {

constexpr std::string_view kHeader = "orv-step-manifest 1";

bool SameNameIgnoringCase(std::string_view a, std::string_view b)
{
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z')
      x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z')
      y = static_cast<char>(y - 'A' + 'a');
    if (x != y)
      return false;
  }
  return true;
}

// A decimal number of at most `digits` digits, no sign, no blanks.
bool ParseNumber(std::string_view text, std::size_t digits, std::uint64_t& value)
{
  if (text.empty() || text.size() > digits || (text.size() > 1 && text[0] == '0'))
    return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

int HexDigit(char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

// The value after "<key> " on a line of its own.
bool ParseVersionLine(std::string_view line, std::string_view key, std::int32_t& version)
{
  std::uint64_t value = 0;
  if (line.size() <= key.size() + 1 || line.substr(0, key.size()) != key ||
      line[key.size()] != ' ' || !ParseNumber(line.substr(key.size() + 1), 9, value))
    return false;
  version = static_cast<std::int32_t>(value);
  return true;
}

}  // namespace

const ManifestFile* StepManifest::Find(std::string_view name) const
{
  for (const ManifestFile& file : files)
    if (SameNameIgnoringCase(file.name, name))
      return &file;
  return nullptr;
}

std::string HexOf(const std::uint8_t* bytes, std::size_t size)
{
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 0xF];
  }
  return hex;
}

bool BytesOfHex(std::string_view hex, std::uint8_t* bytes, std::size_t size)
{
  if (hex.size() != size * 2)
    return false;
  for (std::size_t i = 0; i < size; ++i) {
    const int high = HexDigit(hex[2 * i]);
    const int low = HexDigit(hex[2 * i + 1]);
    if (high < 0 || low < 0)
      return false;
    bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return true;
}

bool ParseStepManifest(std::string_view text, StepManifest& manifest, std::string& problem)
{
  manifest = StepManifest{};
  if (text.size() > kManifestLimit) {
    problem = "too large";
    return false;
  }
  if (text.empty() || text.back() != '\n') {
    problem = "does not end with a line end";
    return false;
  }
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (lines.size() < 3 || lines[0] != kHeader) {
    problem = "no manifest header";
    return false;
  }
  if (!ParseVersionLine(lines[1], "from", manifest.from) ||
      !ParseVersionLine(lines[2], "to", manifest.to) || manifest.to != manifest.from + 1) {
    problem = "bad versions";
    return false;
  }
  for (std::size_t i = 3; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    // "file <size> <digest> <name>"
    constexpr std::string_view kFile = "file ";
    const std::size_t sizeEnd = line.find(' ', kFile.size());
    ManifestFile file;
    if (line.substr(0, kFile.size()) != kFile || sizeEnd == std::string_view::npos ||
        !ParseNumber(line.substr(kFile.size(), sizeEnd - kFile.size()), 15, file.size) ||
        line.size() < sizeEnd + 1 + 64 + 2 || line[sizeEnd + 1 + 64] != ' ' ||
        !BytesOfHex(line.substr(sizeEnd + 1, 64), file.sha256.data(), file.sha256.size())) {
      problem = "bad line " + std::to_string(i + 1);
      return false;
    }
    file.name = std::string(line.substr(sizeEnd + 1 + 64 + 1));
    const bool control = std::any_of(file.name.begin(), file.name.end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    if (control || !IsContainedRelativePath(file.name.c_str())) {
      problem = "unsafe name on line " + std::to_string(i + 1);
      return false;
    }
    if (manifest.Find(file.name)) {
      problem = "a name given twice on line " + std::to_string(i + 1);
      return false;
    }
    manifest.files.push_back(std::move(file));
  }
  return true;
}

std::string FormatStepManifest(const StepManifest& manifest)
{
  std::string text(kHeader);
  text += "\nfrom " + std::to_string(manifest.from) + "\nto " + std::to_string(manifest.to) + "\n";
  for (const ManifestFile& file : manifest.files) {
    text += "file " + std::to_string(file.size) + " " +
            HexOf(file.sha256.data(), file.sha256.size()) + " " + file.name + "\n";
  }
  return text;
}

}  // namespace orv
