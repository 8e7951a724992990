#pragma once

#include <string>

#ifdef _WIN32
#include "platform/win32/Win32Platform.h"
#else
#include "platform/posix/PosixPlatform.h"
#endif

namespace orv::test {

// The real back-ends of the platform the tests run on.
#ifdef _WIN32
// Makes WinINet trust the authority in that PEM file: it goes into the
// machine's store of root authorities (under wine, the prefix's), once per
// process, and leaves it when the process ends (support/RootStoreWin32.h).
void TrustAuthority(const std::string& pemFile);

struct TestPlatform : ::orv::win32::Win32Platform {
  // WinINet has no authority of its own besides the system's: the extra one
  // joins the system's.
  explicit TestPlatform(const std::string& extraCaFile = "")
  {
    if (!extraCaFile.empty())
      TrustAuthority(extraCaFile);
  }
};
#else
struct TestPlatform : posix::PosixPlatform {
  using posix::PosixPlatform::PosixPlatform;
};
#endif

}  // namespace orv::test
