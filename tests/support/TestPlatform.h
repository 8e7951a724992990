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
struct TestPlatform : win32::Win32Platform {
  // WinINet trusts the system's authorities only; the extra one serves the
  // Linux client, whose loopback servers the Windows tests do not run.
  explicit TestPlatform(const std::string& /*extraCaFile*/ = "") {}
};
#else
struct TestPlatform : posix::PosixPlatform {
  using posix::PosixPlatform::PosixPlatform;
};
#endif

}  // namespace orv::test
