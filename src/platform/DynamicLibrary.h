#pragma once

#include <string>

namespace orv {

using LibraryHandle = void*;

// Loading libraries at run time. Names are given as the Windows program gives
// them: a bare file name such as "unpack.dll" is searched for beside the
// executable first and then on the platform's library search path; a name
// with a folder is loaded from there.
class DynamicLibraries {
 public:
  virtual ~DynamicLibraries() = default;

  // nullptr when the library cannot be loaded.
  virtual LibraryHandle Load(const char* name) = 0;
  // nullptr when the library has no export of that name.
  virtual void* Symbol(LibraryHandle library, const char* name) = 0;
  virtual void Free(LibraryHandle library) = 0;
  // The launcher's own program file, as a launcher path; empty when the
  // platform cannot name it.
  virtual std::string ProgramPath() = 0;
};

}  // namespace orv
