#pragma once

#include "platform/Profile.h"

namespace orv::posix {

// Profile files read and written with the launcher's own INI engine.
class ProfilePosix final : public ProfileStore {
 public:
  std::string GetString(const char* section, const char* key, const char* defaultValue,
                        std::size_t bufferSize, const char* path) override;
  std::uint32_t GetInt(const char* section, const char* key, std::int32_t defaultValue,
                       const char* path) override;
  bool WriteString(const char* section, const char* key, const char* value,
                   const char* path) override;
  bool SectionHasKeys(const char* section, const char* path) override;
};

}  // namespace orv::posix
