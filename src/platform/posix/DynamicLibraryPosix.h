#pragma once

#include <string>

#include "platform/DynamicLibrary.h"

namespace orv::posix {

// dlopen. A bare Windows library name is looked for under its Linux name
// ("unpack.dll" as libunpack.so) beside the executable, then on the library
// search path; other names are paths and are loaded as they are.
class DynamicLibrariesPosix final : public DynamicLibraries {
 public:
  LibraryHandle Load(const char* name) override;
  // dlerror's text of the failed load.
  std::string LoadFailure() override;
  void* Symbol(LibraryHandle library, const char* name) override;
  void Free(LibraryHandle library) override;
  std::string ProgramPath() override;
};

// "unpack.dll" -> "libunpack.so"; empty for a name that is not a bare .dll
// name.
std::string LinuxLibraryName(const std::string& windowsName);

}  // namespace orv::posix
