#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <vector>

#include "app/Deployment.h"
#include "app/Text.h"
#include "platform/Platform.h"
#include "settings/Accounts.h"
#include "settings/ProfileFile.h"
#include "unpack/unpack.h"

namespace orv {

class LauncherApp;

// The shared state of the launcher: what the window thread, the workers and
// the plugins all read and write. Fields are public and keep their order;
// operations live with the part of the program they belong to.
class CGlobal {
 public:
  CGlobal(const Platform& platform, LauncherApp& app, const Deployment& deployment);
  // Unloads the packing library if it is loaded.
  ~CGlobal();

  CGlobal(const CGlobal&) = delete;
  CGlobal& operator=(const CGlobal&) = delete;

  // --- Log writers and the launcher mode (app/CGlobal.cpp) ---
  // One line into the process log (newest first) and, with Logging exactly 1,
  // into LaunchDbLog.txt in the start directory. At most 1023 bytes.
  void WriteProcessLog(const char* format, ...) ORV_PRINTF(2, 3);
  // Replaces the status line; appended to the log file like a log line.
  void WriteStatus(const char* format, ...) ORV_PRINTF(2, 3);
  // One line into LaunchDbLog.txt alone (with Logging exactly 1): what the
  // platform said about a failure, written after the failure's own line.
  // The window never shows it, so the process log reads as it always has.
  // A caller that wants it right below its log line holds `lock` across both.
  void WriteLogFileLine(const char* format, ...) ORV_PRINTF(2, 3);
  // Stores the mode and captions the main button after it.
  void SetLauncherMode(std::int32_t mode);
  // The main window while it exists; without it the log writers only write
  // the file.
  void SetMainWindow(View* window);
  View* MainWindow() const { return m_window; }

  // --- Settings and accounts (settings/Settings.cpp, settings/Accounts.cpp) ---
  void LoadSettings();
  void SaveSettings();
  void LoadAccounts();
  void SaveAccounts();

  // --- The packing library (settings/PackLibrary.cpp) ---
  // Loads the library and resolves its entry points; on failure the message
  // box has been shown. A library whose entry points are missing stays loaded
  // until UnloadPackLibrary.
  bool LoadPackLibrary(const char* name);
  void UnloadPackLibrary();
  // Unpacks one archive entry of stored size storedSize (bit 31 may be set)
  // to unpackedSize bytes into out. A failure is shown in a message box and
  // answered with false; out then holds unpackedSize zero bytes.
  bool Unpack(std::uint32_t storedSize, std::uint32_t unpackedSize, const std::uint8_t* source,
              std::vector<std::uint8_t>& out);
  // The host services plugins call: the library's entry points with the
  // arguments passed on unchanged and a message box on failure.
  std::uint8_t Pack(const void* source, std::uint32_t size, void** packed,
                    std::uint32_t* packedSize);
  std::uint8_t Unpack(const void* source, std::uint32_t packedSize, void** buffer,
                      std::uint32_t* size);
  std::uint8_t PackDataRelease(void* data);

  const Platform& platform() const { return m_platform; }
  LauncherApp& app() const { return m_app; }
  const Deployment& deployment() const { return m_deployment; }
  ProfileFile& profile() { return m_profile; }

  // --- Fields, in order ---
  std::recursive_mutex lock;  // held by the log writers and the archive unpack
  LibraryHandle packLibrary = nullptr;
  // Workers go on while it is 1; Exit clears it to stop downloads and patching.
  std::atomic<std::uint8_t> workerRun{0};
  char startDir[256] = {};
  char OrvDir[256] = "C:\\Program Files\\Kivora\\Orvland";
  char configPath[256] = {};
  char siid[256] = {};
  char oneTimePass[256] = {};
  char orvAccountId[256] = {};
  char Home[256] = {};
  AccountList accounts;
  std::atomic<std::int32_t> launcherMode{0};
  std::int32_t ReStruct = 0;
  std::atomic<std::uint8_t> autoUpdateArmed{0};
  std::int32_t LastGID = 0;
  std::int32_t LastAID = 0;
  std::int32_t AutoStart = 0;
  std::int32_t Logging = 0;
  std::int32_t Timeout = 60;
  std::int32_t parallelPatch = 0;
  std::int32_t connectionCount = 2;
  PackFunction packEntry = nullptr;
  UnpackFunction unpackEntry = nullptr;
  PackFreeFunction packFreeEntry = nullptr;
  // How the launcher reaches its servers: "" the system's proxy settings,
  // "direct", or "http://host:port".
  char Proxy[256] = {};

 private:
  enum class LogOutput { ProcessLog, StatusLine };
  void WriteLine(LogOutput output, const char* format, std::va_list args) ORV_PRINTF(3, 0);
  void AppendToLogFile(const char* text);

  const Platform m_platform;
  LauncherApp& m_app;
  const Deployment m_deployment;
  ProfileFile m_profile;
  std::atomic<View*> m_window{nullptr};
};

}  // namespace orv
