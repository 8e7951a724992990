#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace orv::test {

// A fresh folder under the system's temporary folder (or under `base`),
// removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  explicit TempDir(const std::filesystem::path& base);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return m_path; }
  std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

 private:
  std::filesystem::path m_path;
};

// Makes a folder the current directory for the life of the object.
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::filesystem::path& path);
  ~ScopedCurrentDirectory();

 private:
  std::filesystem::path m_previous;
};

// Sets (or, with nullopt, unsets) an environment variable for the life of the
// object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, std::optional<std::string> value);
  ~ScopedEnvironment();

 private:
  std::string m_name;
  std::optional<std::string> m_previous;
};

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& content);

}  // namespace orv::test
