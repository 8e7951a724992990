// The Linux side of the test support's platform helpers.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <stdexcept>

#include "platform/posix/Cp932.h"
#include "platform/posix/DynamicLibraryPosix.h"
#include "support/PluginFolder.h"
#include "support/StubGame.h"
#include "support/TestPlatform.h"

namespace orv::test {

std::filesystem::path ExecutableFolder()
{
  char executable[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", executable, sizeof executable - 1);
  if (length <= 0)
    throw std::runtime_error("cannot find the test program");
  return std::filesystem::path(std::string(executable, static_cast<std::size_t>(length)))
      .parent_path();
}

std::string ProgramFileName(const std::string& name)
{
  return name;
}

bool LibraryLoadedAt(const std::filesystem::path& library)
{
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!handle)
    return false;
  dlclose(handle);
  return true;
}

std::string LauncherPath(const std::filesystem::path& native)
{
  std::string path;
  if (!posix::Utf8ToCp932(native.string(), path))
    throw std::runtime_error("a test path without a Shift_JIS form");
  return path;
}

std::string ProgramSidePath(const std::filesystem::path& native)
{
  return native.string();
}

void PauseMilliseconds(int milliseconds)
{
  usleep(static_cast<useconds_t>(milliseconds) * 1000);
}

std::string NativeLibraryName(const std::string& windowsName)
{
  return posix::LinuxLibraryName(windowsName);
}

bool LocaleFollowsEnvironment(std::string&)
{
  return true;
}

// Run as root, permissions would not stop a read: a link to nowhere is what
// cannot be opened.
std::shared_ptr<void> MakeUnopenableFile(const std::filesystem::path& path, std::string&)
{
  std::filesystem::create_symlink(path.parent_path() / "missing.exe", path);
  return std::make_shared<int>(0);
}

// The desktop's opener stands in for the Windows browser here; the launcher's
// back-end takes it as a constructor argument.
bool InstallPageOpener(TestPlatform& backends, std::string&)
{
  backends.processes =
      posix::ProcessesPosix("wine", (ExecutableFolder() / ProgramFileName("stub_game")).string());
  return true;
}

bool BreakPageOpener(TestPlatform& backends, std::string&)
{
  backends.processes =
      posix::ProcessesPosix("wine", (std::filesystem::current_path() / "missing").string());
  return true;
}

}  // namespace orv::test
