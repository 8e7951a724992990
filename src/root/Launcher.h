#pragma once

#include <memory>

#include "app/Deployment.h"
#include "platform/Platform.h"

namespace orv {

class CGlobal;
class CPlugIn;
class MainDialog;
class LauncherApp;

// The composition root: creates the process-wide objects once, in the order
// start-up needs them, runs the main window, and releases everything in a
// fixed order. Worker threads never create any of these objects.
class Launcher {
 public:
  // The launcher with its own main window, made once start-up has made the
  // shared state. packLibraryName is the packing library's file name as the
  // Windows program names it.
  Launcher(const Platform& platform, const Deployment& deployment,
           const char* packLibraryName = "unpack.dll");
  // The same with another handler of the main dialog, for programs that run
  // the frame without the window's logic.
  Launcher(const Platform& platform, const Deployment& deployment, DialogHandler& mainWindow,
           const char* packLibraryName = "unpack.dll");
  ~Launcher();

  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;

  // The entry point's order: the application object, start-up, the main
  // window only when start-up passed, shutdown in every case. Always 1.
  int Run();

  void CreateApp();
  // True when the main window may be shown.
  bool Startup();
  void RunDialog();
  // Releases whatever exists, whatever start-up returned.
  void Shutdown();

  LauncherApp* App() const { return m_app.get(); }
  CGlobal* Global() const { return m_global.get(); }
  // The plugin manager, from start-up on.
  CPlugIn* Plugins() const { return m_plugins.get(); }
  // The launcher's own main window once start-up has passed.
  MainDialog* Window() const { return m_window.get(); }

 private:
  bool TakeStartDirectory();
  bool TakeInstanceLock();
  bool FindGameFolder();

  const Platform m_platform;
  const Deployment m_deployment;
  DialogHandler* const m_mainWindow;
  const char* const m_packLibraryName;

  std::unique_ptr<LauncherApp> m_app;
  std::unique_ptr<CGlobal> m_global;
  std::unique_ptr<CPlugIn> m_plugins;
  std::unique_ptr<MainDialog> m_window;
  bool m_timerResolutionRequested = false;
  std::unique_ptr<HeldLock> m_instanceLock;
};

}  // namespace orv
