#include "settings/ProfileFile.h"

#include <cstdio>

#include "app/Status.h"
#include "platform/FileSystem.h"
#include "platform/Profile.h"

namespace orv {

namespace {
constexpr const char* kConfSection = "Conf";
}  // namespace

ProfileFile::ProfileFile(FileSystem& files, ProfileStore& profiles)
    : m_files(files), m_profiles(profiles)
{
}

std::int32_t ProfileFile::WriteInt(const char* path, const char* key, std::int32_t value)
{
  char text[16];
  std::snprintf(text, sizeof text, "%d", value);
  return m_profiles.WriteString(kConfSection, key, text, path) ? kOk : kEFail;
}

std::int32_t ProfileFile::WriteText(const char* path, const char* section, const char* key,
                                    const char* text)
{
  return m_profiles.WriteString(section, key, text, path) ? kOk : kEFail;
}

std::int32_t ProfileFile::ReadText(const char* path, const char* section, const char* key,
                                   char (&destination)[kTextSize])
{
  if (!FileReadable(m_files, path))
    return kEFail;
  const std::string value = m_profiles.GetString(section, key, "", kTextSize, path);
  // The store already cut the value to the buffer; copy it whole.
  const std::size_t length = value.size() < kTextSize ? value.size() : kTextSize - 1;
  value.copy(destination, length);
  destination[length] = '\0';
  return length != 0 ? kOk : kEFail;
}

std::int32_t ProfileFile::ReadInt(const char* path, const char* key, std::int32_t& destination)
{
  if (!FileReadable(m_files, path))
    return kEFail;
  const auto value = static_cast<std::int32_t>(m_profiles.GetInt(kConfSection, key, kAbsent, path));
  if (value == kAbsent)
    return kEFail;
  destination = value;
  return kOk;
}

bool ProfileFile::HasSection(const char* path, const char* section)
{
  return FileReadable(m_files, path) && m_profiles.SectionHasKeys(section, path);
}

}  // namespace orv
