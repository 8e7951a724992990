#pragma once

#include "platform/Profile.h"

namespace orv::win32 {

// Profile files through the Windows profile API. A path without a folder is
// looked for in the Windows folder, as the API does: the launcher always
// passes a full path.
class ProfileWin32 final : public ProfileStore {
 public:
  std::string GetString(const char* section, const char* key, const char* defaultValue,
                        std::size_t bufferSize, const char* path) override;
  std::uint32_t GetInt(const char* section, const char* key, std::int32_t defaultValue,
                       const char* path) override;
  bool WriteString(const char* section, const char* key, const char* value,
                   const char* path) override;
  bool SectionHasKeys(const char* section, const char* path) override;
};

}  // namespace orv::win32
