#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

class FileSystem;
class ProfileStore;

// The one way the launcher reads and writes its settings file. Stateless:
// every call names the file. Results are 0 or E_FAIL (kEFail).
class ProfileFile {
 public:
  // A stored integer equal to this reads as absent.
  static constexpr std::int32_t kAbsent = 16777215;  // 0xFFFFFF
  // Text values read back hold at most 255 bytes.
  static constexpr std::size_t kTextSize = 256;

  ProfileFile(FileSystem& files, ProfileStore& profiles);

  // Writes value in decimal to key of section Conf.
  std::int32_t WriteInt(const char* path, const char* key, std::int32_t value);
  std::int32_t WriteText(const char* path, const char* section, const char* key, const char* text);

  // With the file present, destination always receives the value (empty when
  // the key is missing); success only for a non-empty value. Without the file
  // destination is left as it was.
  std::int32_t ReadText(const char* path, const char* section, const char* key,
                        char (&destination)[kTextSize]);

  // Reads key of section Conf; destination is changed only on success.
  std::int32_t ReadInt(const char* path, const char* key, std::int32_t& destination);

  // Whether the file holds the section with at least one key.
  bool HasSection(const char* path, const char* section);

 private:
  FileSystem& m_files;
  ProfileStore& m_profiles;
};

}  // namespace orv
