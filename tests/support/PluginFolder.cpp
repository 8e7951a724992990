#include "support/PluginFolder.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <stdexcept>

#include "platform/posix/Cp932.h"

namespace orv::test {

void PluginFolder::Install(const std::string& variant, const std::string& fileName) const
{
  std::filesystem::create_directories(m_path);
  std::filesystem::copy_file(ExecutableFolder() / "test_plugins" / (variant + ".opg"),
                             m_path / fileName,
                             std::filesystem::copy_options::overwrite_existing);
}

std::filesystem::path ExecutableFolder()
{
  char executable[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", executable, sizeof executable - 1);
  if (length <= 0)
    throw std::runtime_error("cannot find the test program");
  return std::filesystem::path(std::string(executable, static_cast<std::size_t>(length)))
      .parent_path();
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

}  // namespace orv::test
