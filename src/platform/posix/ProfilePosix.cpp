#include "platform/posix/ProfilePosix.h"

#include <cerrno>
#include <cstdio>
#include <optional>

#include "platform/posix/Cp932.h"
#include "settings/IniText.h"

namespace orv::posix {

namespace {

// The file's content; a missing file is an empty one. Nothing when the file is
// there but cannot be read: writing then would replace what it holds.
std::optional<std::string> ReadWhole(const std::string& nativePath)
{
  std::FILE* file = std::fopen(nativePath.c_str(), "rb");
  if (!file)
    return errno == ENOENT ? std::optional<std::string>(std::string()) : std::nullopt;
  std::string content;
  char chunk[8192];
  std::size_t count;
  while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0)
    content.append(chunk, count);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed)
    return std::nullopt;
  return content;
}

// Writes the new content beside the file and renames it into place, so that
// a failed write never leaves the settings half written.
bool WriteWhole(const std::string& nativePath, const std::string& content)
{
  const std::string temporary = nativePath + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (!file)
    return false;
  const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed || std::rename(temporary.c_str(), nativePath.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

std::optional<std::string> Lookup(const char* section, const char* key, const char* path)
{
  std::string native;
  if (!ToNativePath(path, native))
    return std::nullopt;
  const std::optional<std::string> content = ReadWhole(native);
  if (!content)
    return std::nullopt;
  return ini::Find(*content, section, key);
}

}  // namespace

std::string ProfilePosix::GetString(const char* section, const char* key,
                                    const char* defaultValue, std::size_t bufferSize,
                                    const char* path)
{
  std::string value = Lookup(section, key, path).value_or(defaultValue);
  if (bufferSize == 0)
    return {};
  if (value.size() > bufferSize - 1)
    value.resize(bufferSize - 1);
  return value;
}

std::uint32_t ProfilePosix::GetInt(const char* section, const char* key,
                                   std::int32_t defaultValue, const char* path)
{
  const std::optional<std::string> value = Lookup(section, key, path);
  if (!value || value->empty())
    return static_cast<std::uint32_t>(defaultValue);
  return ini::ParseInt(*value);
}

bool ProfilePosix::WriteString(const char* section, const char* key, const char* value,
                               const char* path)
{
  std::string native;
  if (!ToNativePath(path, native))
    return false;
  const std::optional<std::string> content = ReadWhole(native);
  return content && WriteWhole(native, ini::Set(*content, section, key, value));
}

bool ProfilePosix::SectionHasKeys(const char* section, const char* path)
{
  std::string native;
  if (!ToNativePath(path, native))
    return false;
  const std::optional<std::string> content = ReadWhole(native);
  return content && ini::SectionHasKeys(*content, section);
}

}  // namespace orv::posix
