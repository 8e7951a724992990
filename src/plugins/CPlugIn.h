#pragma once

#include <memory>
#include <vector>

#include "app/ModuleVersionInfo.h"
#include "platform/DynamicLibrary.h"
#include "plugins/PluginAbi.h"

namespace orv {

class CGlobal;

// One loaded plugin library and what the launcher knows of it.
struct PluginRecord {
  LibraryHandle module = nullptr;
  PluginInfo info = {};
  ModuleVersionInfo versionInfo = {};
  char path[256] = {};
  PlugInfoFunction plugInfo = nullptr;
  PlugLaunchFunction plugLaunch = nullptr;
  PlugProcFunction plugProc = nullptr;
  PlugTimerFunction plugTimer = nullptr;
  // The file name without folder and extension, shown when the plugin does
  // not describe itself.
  char fileName[256] = {};
};

// The plugin manager: finds the libraries of the Plugin folder once per run,
// keeps them loaded in registration order, and answers the game start's
// question whether a plugin takes it over. The list is filled on the connect
// thread before any other thread reads it, and never changes afterwards.
class CPlugIn {
 public:
  explicit CPlugIn(CGlobal& global);
  ~CPlugIn();

  CPlugIn(const CPlugIn&) = delete;
  CPlugIn& operator=(const CPlugIn&) = delete;

  // Registers every "<start folder>\Plugin\*.opg". False only when the folder
  // cannot be listed for a reason other than holding no plugin.
  bool SearchPlugIn();
  // Loads one library and keeps it when it exports PlugLaunch.
  bool LoadPlugIn(const char* path);
  // Asks each plugin's PlugProc in order; true as soon as one answers 1.
  bool CallPlugProc();
  // Releases every library; the list is empty afterwards.
  void UnloadAll();

  // For the options panel (one row per record) and the timer.
  const std::vector<std::unique_ptr<PluginRecord>>& Records() const { return m_records; }

 private:
  // Steps that may throw; the caller keeps or releases the library.
  bool LoadPlugInGuarded(const char* path, PluginRecord& record);
  // The log line of a plugin that cannot be linked, and below it in the log
  // file which plugin it was and why.
  void LinkFailed(const char* path, const std::string& why);
  void FillInfo(PluginRecord& record);

  CGlobal& m_global;
  std::vector<std::unique_ptr<PluginRecord>> m_records;
};

}  // namespace orv
