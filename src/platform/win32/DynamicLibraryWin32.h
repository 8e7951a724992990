#pragma once

#include <string>

#include "platform/DynamicLibrary.h"

namespace orv::win32 {

// LoadLibraryA's own search: the executable's folder first for a bare name.
class DynamicLibrariesWin32 final : public DynamicLibraries {
 public:
  LibraryHandle Load(const char* name) override;
  // LoadLibraryA's error number and the system's text for it.
  std::string LoadFailure() override;
  void* Symbol(LibraryHandle library, const char* name) override;
  void Free(LibraryHandle library) override;
  std::string ProgramPath() override;
};

}  // namespace orv::win32
