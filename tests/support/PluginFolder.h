#pragma once

#include <filesystem>
#include <string>

namespace orv::test {

// The Plugin folder of a start folder, filled with the test plugins the
// build put beside the test programs (bin/test_plugins/<variant>.opg).
class PluginFolder {
 public:
  explicit PluginFolder(const std::filesystem::path& startFolder)
      : m_path(startFolder / "Plugin")
  {
  }
  const std::filesystem::path& path() const { return m_path; }
  // Copies a variant into the folder under the given file name.
  void Install(const std::string& variant, const std::string& fileName) const;

 private:
  std::filesystem::path m_path;
};

// The folder the test programs run from.
std::filesystem::path ExecutableFolder();
// Whether the library at that path is loaded in this process.
bool LibraryLoadedAt(const std::filesystem::path& library);
// A Linux path as the launcher spells it: in Shift_JIS.
std::string LauncherPath(const std::filesystem::path& native);

}  // namespace orv::test
