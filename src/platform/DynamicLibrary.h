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

  // nullptr when the library cannot be loaded; LoadFailure then says why.
  virtual LibraryHandle Load(const char* name) = 0;
  // Why the calling thread's last Load answered nullptr, in the platform's
  // own words (the loader's message, the system's text for its error
  // number), for the log file; empty when the platform said nothing.
  virtual std::string LoadFailure() { return {}; }
  // nullptr when the library has no export of that name.
  virtual void* Symbol(LibraryHandle library, const char* name) = 0;
  virtual void Free(LibraryHandle library) = 0;
  // The launcher's own program file, as a launcher path; empty when the
  // platform cannot name it.
  virtual std::string ProgramPath() = 0;
};

}  // namespace orv
