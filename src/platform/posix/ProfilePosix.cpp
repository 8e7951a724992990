#include "platform/posix/ProfilePosix.h"

#include <cerrno>
#include <cstdio>
#include <optional>

#include "platform/posix/Cp932.h"
#include "platform/posix/IniText.h"

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

// The value the file holds for the key; nothing when the file, the section
// or the key is missing, the key has no '=', or the file cannot be read.
std::optional<std::string> Lookup(const char* section, const char* key, const char* path)
{
  std::string native;
  if (!ToNativePath(path, native))
    return std::nullopt;
  const std::optional<std::string> content = ReadWhole(native);
  if (!content)
    return std::nullopt;
  return ini::FindStored(*content, section, key);
}

}  // namespace

std::string ProfilePosix::GetString(const char* section, const char* key,
                                    const char* defaultValue, std::size_t bufferSize,
                                    const char* path)
{
  if (const std::optional<std::string> value = Lookup(section, key, path))
    return ini::CopyOut(*value, bufferSize);
  return ini::CopyOut(ini::DefaultText(defaultValue ? defaultValue : ""), bufferSize);
}

std::uint32_t ProfilePosix::GetInt(const char* section, const char* key,
                                   std::int32_t defaultValue, const char* path)
{
  // The number is read through a small buffer, as the platform reads it: a
  // value that reads as empty there counts as missing.
  const std::optional<std::string> value = Lookup(section, key, path);
  const std::string text = value ? ini::CopyOut(*value, ini::kIntBufferSize) : std::string();
  if (text.empty())
    return static_cast<std::uint32_t>(defaultValue);
  return ini::ParseInt(text);
}

bool ProfilePosix::WriteString(const char* section, const char* key, const char* value,
                               const char* path)
{
  std::string native;
  if (!ToNativePath(path, native))
    return false;
  const std::optional<std::string> content = ReadWhole(native);
  if (!content)
    return false;
  // A value that is already there leaves the file untouched, byte for byte.
  const std::optional<std::string> changed = ini::Set(*content, section, key, value);
  return !changed || WriteWhole(native, *changed);
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
