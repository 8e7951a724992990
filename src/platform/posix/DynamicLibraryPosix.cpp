#include "platform/posix/DynamicLibraryPosix.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "platform/posix/AsciiText.h"
#include "platform/posix/Cp932.h"

namespace orv::posix {

namespace {

std::string ExecutableFolder()
{
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0)
    return {};
  const std::string executable(path, static_cast<std::size_t>(length));
  return executable.substr(0, executable.rfind('/'));
}

bool Exists(const std::string& path)
{
  return access(path.c_str(), F_OK) == 0;
}

// Like dlerror itself, kept per thread: loads on other threads do not
// overwrite the reason before the caller has read it.
thread_local std::string t_loadFailure;

LibraryHandle Open(const std::string& path)
{
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* error = dlerror();
    t_loadFailure = error ? error : "dlopen failed without a message";
  }
  return library;
}

}  // namespace

std::string LinuxLibraryName(const std::string& windowsName)
{
  constexpr std::string_view kSuffix = ".dll";
  if (windowsName.find_first_of("\\/") != std::string::npos || windowsName.size() <= kSuffix.size())
    return {};
  const std::string base = windowsName.substr(0, windowsName.size() - kSuffix.size());
  if (!EqualsNoCase(std::string_view(windowsName).substr(base.size()), kSuffix))
    return {};
  return "lib" + base + ".so";
}

LibraryHandle DynamicLibrariesPosix::Load(const char* name)
{
  t_loadFailure.clear();
  std::string native;
  if (!ToNativePath(name, native)) {
    t_loadFailure = "the name has no form in this system's encoding";
    return nullptr;
  }
  const std::string linuxName = LinuxLibraryName(native);
  if (linuxName.empty())
    return Open(native);

  const std::string beside = ExecutableFolder() + "/" + linuxName;
  if (Exists(beside))
    return Open(beside);
  return Open(linuxName);
}

std::string DynamicLibrariesPosix::LoadFailure()
{
  return t_loadFailure;
}

void* DynamicLibrariesPosix::Symbol(LibraryHandle library, const char* name)
{
  return dlsym(library, name);
}

void DynamicLibrariesPosix::Free(LibraryHandle library)
{
  dlclose(library);
}

std::string DynamicLibrariesPosix::ProgramPath()
{
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string launcherPath;
  if (length <= 0 || !Utf8ToCp932(std::string_view(path, static_cast<std::size_t>(length)),
                                  launcherPath))
    return {};
  return launcherPath;
}

}  // namespace orv::posix
