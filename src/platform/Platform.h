#pragma once

#include "platform/Cabinet.h"
#include "platform/Clock.h"
#include "platform/Crypto.h"
#include "platform/DynamicLibrary.h"
#include "platform/FileSystem.h"
#include "platform/HttpClient.h"
#include "platform/Locale.h"
#include "platform/Process.h"
#include "platform/Profile.h"
#include "platform/VersionResource.h"
#include "platform/View.h"

namespace orv {

// The platform capabilities the launcher's logic is given by its entry point.
struct Platform {
  FileSystem& files;
  ProfileStore& profiles;
  DynamicLibraries& libraries;
  VersionResource& versions;
  Locale& locale;
  Clock& clock;
  View& view;
  HttpClient& http;
  CabinetWalker& cabinets;
  Processes& processes;
  Crypto& crypto;
};

}  // namespace orv
