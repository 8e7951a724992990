// The Windows side of the test support's platform helpers. Paths are taken
// from std::filesystem in UTF-16 and handed to the launcher in the ANSI code
// page, the way its file functions read them.
#include <windows.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/PluginFolder.h"
#include "support/StubGame.h"
#include "support/TestPlatform.h"

namespace orv::test {

std::filesystem::path ExecutableFolder()
{
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0)
      throw std::runtime_error("cannot find the test program");
    // A full buffer may hold a cut path.
    if (length < path.size())
      return std::filesystem::path(std::wstring(path.data(), length)).parent_path();
    path.resize(path.size() * 2);
  }
}

std::string ProgramFileName(const std::string& name)
{
  return name + ".exe";
}

bool LibraryLoadedAt(const std::filesystem::path& library)
{
  // Takes no reference: nothing to release.
  return GetModuleHandleW(library.c_str()) != nullptr;
}

std::string LauncherPath(const std::filesystem::path& native)
{
  const std::wstring wide = native.wstring();
  if (wide.empty())
    return {};
  BOOL lossy = FALSE;
  const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(),
                                       static_cast<int>(wide.size()), nullptr, 0, nullptr, &lossy);
  std::string path(static_cast<std::size_t>(size), '\0');
  if (size <= 0 ||
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                          path.data(), size, nullptr, &lossy) != size ||
      lossy)
    throw std::runtime_error("a test path without a form in the ANSI code page");
  return path;
}

std::string ProgramSidePath(const std::filesystem::path& native)
{
  return LauncherPath(native);
}

void PauseMilliseconds(int milliseconds)
{
  Sleep(static_cast<DWORD>(milliseconds));
}

std::string NativeLibraryName(const std::string& windowsName)
{
  return windowsName;
}

bool LocaleFollowsEnvironment(std::string& whyNot)
{
  whyNot =
      "the Windows user locale is fixed when the process starts (under wine, from its LC_ALL); "
      "changing the environment afterwards does not change it";
  return false;
}

// A file held open without sharing: it is listed in its folder, and every
// other open fails with a sharing violation, whoever asks, until the handle
// is closed.
std::shared_ptr<void> MakeUnopenableFile(const std::filesystem::path& path, std::string& whyNot)
{
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    whyNot = "cannot create " + path.string() + ": error " + std::to_string(GetLastError());
    return nullptr;
  }
  return std::shared_ptr<void>(file, [](HANDLE handle) { CloseHandle(handle); });
}

// ShellExecute has no seam: "iexplore.exe" is whatever the system finds
// under that name. Under wine that is always its own browser in system32,
// found before a copy in the program's or the current folder; started from a
// test it stays running and holds CTest's output pipe open until CTest gives
// up on the test.
constexpr const char* kNoOpenerSeam =
    "ShellExecute finds the system's own iexplore.exe before any stand-in a test can place, "
    "and that browser would outlive the test";

bool InstallPageOpener(TestPlatform&, std::string& whyNot)
{
  whyNot = kNoOpenerSeam;
  return false;
}

bool BreakPageOpener(TestPlatform&, std::string& whyNot)
{
  whyNot = kNoOpenerSeam;
  return false;
}

}  // namespace orv::test
