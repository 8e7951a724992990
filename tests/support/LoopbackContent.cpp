#include "support/LoopbackContent.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

#include "support/LoopbackServer.h"

namespace orv::test {

namespace loopback {

namespace fs = std::filesystem;

const std::vector<char>& Pattern()
{
  static const std::vector<char> pattern = [] {
    std::vector<char> bytes(kPatternPeriod);
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    for (char& byte : bytes) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      byte = static_cast<char>(state >> 56);
    }
    return bytes;
  }();
  return pattern;
}

bool EqualNoCase(const std::string& a, const std::string& b)
{
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::optional<fs::path> FileUnder(const fs::path& root, const std::string& path)
{
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos)
    return std::nullopt;
  const fs::path relative = fs::path(path.substr(1)).lexically_normal();
  if (relative.empty() || relative.is_absolute() || relative.has_root_name() ||
      *relative.begin() == "..")
    return std::nullopt;
  std::error_code error;
  const fs::path file = fs::weakly_canonical(root / relative, error);
  if (error)
    return std::nullopt;
  const fs::path inside = file.lexically_relative(root);
  if (inside.empty() || *inside.begin() == ".." || !fs::is_regular_file(file, error))
    return std::nullopt;
  return file;
}

}  // namespace loopback

void FillGenerated(std::uint64_t offset, char* out, std::size_t size)
{
  const std::vector<char>& pattern = loopback::Pattern();
  std::size_t at = static_cast<std::size_t>(offset % loopback::kPatternPeriod);
  while (size != 0) {
    const std::size_t slice = std::min(size, loopback::kPatternPeriod - at);
    std::memcpy(out, pattern.data() + at, slice);
    out += slice;
    size -= slice;
    at = 0;
  }
}

std::string GeneratedContent(std::uint64_t offset, std::size_t size)
{
  std::string content(size, '\0');
  FillGenerated(offset, content.data(), size);
  return content;
}

std::string HttpRequestSeen::Header(const std::string& name) const
{
  for (const auto& [key, value] : headers)
    if (loopback::EqualNoCase(key, name))
      return value;
  return {};
}

}  // namespace orv::test
