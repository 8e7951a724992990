#pragma once

#include "platform/Platform.h"
#include "platform/posix/CabinetMspack.h"
#include "platform/posix/ClockPosix.h"
#include "platform/posix/CryptoOpenSsl.h"
#include "platform/posix/DynamicLibraryPosix.h"
#include "platform/posix/FileSystemPosix.h"
#include "platform/posix/HttpClientCurl.h"
#include "platform/posix/LocalePosix.h"
#include "platform/posix/ProcessPosix.h"
#include "platform/posix/ProfilePosix.h"
#include "platform/posix/VersionResourcePosix.h"

namespace orv::posix {

// The Linux back-ends, owned together; the view comes from the front-end.
struct PosixPlatform {
  FileSystemPosix files;
  ProfilePosix profiles;
  DynamicLibrariesPosix libraries;
  VersionResourcePosix versions;
  LocalePosix locale;
  ClockPosix clock;
  HttpClientCurl http;
  CabinetMspack cabinets;
  ProcessesPosix processes;
  CryptoOpenSsl crypto;

  explicit PosixPlatform(std::string extraCaFile = "") : http(std::move(extraCaFile)) {}

  Platform With(View& view)
  {
    return {files, profiles, libraries, versions,  locale, clock,
            view,  http,     cabinets,  processes, crypto};
  }
};

}  // namespace orv::posix
