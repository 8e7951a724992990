#pragma once

#include <filesystem>
#include <memory>
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

// What differs between the platforms lives in NativePosix.cpp and
// NativeWin32.cpp.

// The folder the test programs run from.
std::filesystem::path ExecutableFolder();
// The file name the build gives a program of that name ("stub_game.exe" on
// Windows).
std::string ProgramFileName(const std::string& name);
// Whether the library at that path is loaded in this process.
bool LibraryLoadedAt(const std::filesystem::path& library);
// A path as the launcher spells it: in Shift_JIS (on Windows, the ANSI code
// page that the launcher's file functions read, 932 under the test runner).
std::string LauncherPath(const std::filesystem::path& native);
// A path as a program started by the launcher reads its working folder:
// UTF-8 on Linux, where the file-system layer converts, and the launcher's
// own spelling on Windows.
std::string ProgramSidePath(const std::filesystem::path& native);
// Lets other threads and processes run for that long.
void PauseMilliseconds(int milliseconds);
// The file the launcher's loader opens for a bare library name such as
// "unpack.dll" ("libunpack.so" on Linux).
std::string NativeLibraryName(const std::string& windowsName);
// Whether the user locale the launcher checks follows the locale variables
// of this process as a test changes them; when not, why.
bool LocaleFollowsEnvironment(std::string& whyNot);
// Makes a file at that path that exists by name but cannot be opened for
// reading, even by an administrator, for as long as the returned object
// lives; null with the reason when the platform has no such file.
std::shared_ptr<void> MakeUnopenableFile(const std::filesystem::path& path, std::string& whyNot);

}  // namespace orv::test
