#pragma once

#include <filesystem>
#include <string>

namespace orv::patchkit {

// Whole-file reads and writes that say what went wrong instead of leaving an
// empty string or a half-written file to be mistaken for content.
bool ReadWholeFile(const std::filesystem::path& path, std::string& bytes, std::string& error);
bool WriteWholeFile(const std::filesystem::path& path, const std::string& bytes,
                    std::string& error);

// A fresh folder under the system's temporary folder, removed with
// everything in it when the object goes; empty path() when it could not be
// made (error() says why).
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return m_path; }
  const std::string& error() const { return m_error; }

 private:
  std::filesystem::path m_path;
  std::string m_error;
};

}  // namespace orv::patchkit
