#pragma once

#include "platform/Platform.h"
#include "platform/win32/CabinetSetupApi.h"
#include "platform/win32/ClockWin32.h"
#include "platform/win32/CryptoCng.h"
#include "platform/win32/DynamicLibraryWin32.h"
#include "platform/win32/FileSystemWin32.h"
#include "platform/win32/HttpClientWinInet.h"
#include "platform/win32/LocaleWin32.h"
#include "platform/win32/ProcessWin32.h"
#include "platform/win32/ProfileWin32.h"
#include "platform/win32/VersionResourceWin32.h"

namespace orv::win32 {

// The Win32 back-ends, owned together; the view comes from the front-end.
struct Win32Platform {
  FileSystemWin32 files;
  ProfileWin32 profiles;
  DynamicLibrariesWin32 libraries;
  VersionResourceWin32 versions;
  LocaleWin32 locale;
  ClockWin32 clock;
  HttpClientWinInet http;
  CabinetSetupApi cabinets;
  ProcessesWin32 processes;
  CryptoCng crypto;

  Platform With(View& view)
  {
    return {files, profiles, libraries, versions,  locale, clock,
            view,  http,     cabinets,  processes, crypto};
  }
};

}  // namespace orv::win32
