#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orv {

// The platform's profile (INI) files, with the semantics the settings rely on:
// a missing file, section or key reads as the given default; section and key
// names compare without regard to letter case; a write creates the file, the
// section and the key as needed and replaces an existing key's value in place.
// Every other name, value and comment stays, in its order and spelling; the
// file is written back in the platform's own form (CR LF lines, no blank
// lines, no blanks around names), and a write that changes nothing leaves
// the file untouched.
class ProfileStore {
 public:
  virtual ~ProfileStore() = default;

  // The key's value cut to bufferSize - 1 bytes, or the default when the key
  // is missing.
  virtual std::string GetString(const char* section, const char* key, const char* defaultValue,
                                std::size_t bufferSize, const char* path) = 0;

  // The key's value parsed as a number (leading digits, 0 when there are
  // none), or the default when the key is missing or empty.
  virtual std::uint32_t GetInt(const char* section, const char* key, std::int32_t defaultValue,
                               const char* path) = 0;

  virtual bool WriteString(const char* section, const char* key, const char* value,
                           const char* path) = 0;

  // True when the file holds the section with at least one key.
  virtual bool SectionHasKeys(const char* section, const char* path) = 0;
};

}  // namespace orv
