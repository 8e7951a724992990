#include "root/Launcher.h"

#include <cstdio>
#include <string>

#include "app/CGlobal.h"
#include "app/GameFolder.h"
#include "app/LauncherApp.h"
#include "platform/ControlIds.h"
#include "platform/ErrorCodes.h"
#include "plugins/CPlugIn.h"
#include "plugins/HostExport.h"
#include "ui/MainDialog.h"

namespace orv {

namespace {

constexpr const char* kLocaleCaption = "sorry Japanese only";
constexpr const char* kLocaleText =
    "It is not possible to use it excluding ORV of Japan. \n"
    "The disadvantage of receiving it by changing this program is your responsibility. ";

// The settings file is "<start directory>\OLConfig.ini" in a 256-byte field;
// a longer start directory would cut that path into the name of another file.
constexpr std::size_t kLongestStartDirectory = 255 - (sizeof("\\OLConfig.ini") - 1);
constexpr const char* kStartDirTooLong =
    "起動フォルダのパスが長すぎるため起動できません。\n"
    "設定ファイルのパスが255バイトを超えます。\n%s";
constexpr const char* kStartDirUnusable =
    "起動フォルダのパスを取得できないため起動できません。\n"
    "Shift_JISで表せない文字をフォルダ名に使っていないか確認してください。";

// Held from before anything is read until the launcher ends.
constexpr const char* kInstanceLockName = "\\OLLauncher.lock";
constexpr const char* kAlreadyRunning =
    "ランチャーは既に起動しています。\n起動中のランチャーをお使いください。";
constexpr const char* kLockFailed = "%sを作成できないため起動できません Err:[%d]";

}  // namespace

Launcher::Launcher(const Platform& platform, const Deployment& deployment,
                   const char* packLibraryName)
    : m_platform(platform),
      m_deployment(deployment),
      m_mainWindow(nullptr),
      m_packLibraryName(packLibraryName)
{
}

Launcher::Launcher(const Platform& platform, const Deployment& deployment,
                   DialogHandler& mainWindow, const char* packLibraryName)
    : m_platform(platform),
      m_deployment(deployment),
      m_mainWindow(&mainWindow),
      m_packLibraryName(packLibraryName)
{
}

Launcher::~Launcher()
{
  Shutdown();
}

int Launcher::Run()
{
  CreateApp();
  if (Startup())
    RunDialog();
  Shutdown();
  return 1;
}

void Launcher::CreateApp()
{
  if (!m_app)
    m_app = std::make_unique<LauncherApp>(m_platform.view, m_platform.locale, m_platform.files);
}

bool Launcher::Startup()
{
  // 1. Japanese users only; nothing has been read or created yet.
  if (m_platform.locale.UserDefaultLocaleId() != kJapaneseLocaleId) {
    m_app->ShowMessage(kLocaleCaption, "%s", kLocaleText);
    return false;
  }

  // 2. The shared state, based in the directory the launcher was started in.
  m_global = std::make_unique<CGlobal>(m_platform, *m_app, m_deployment);
  m_global->packLibrary = nullptr;
  if (!TakeStartDirectory())
    return false;
  // One launcher at a time: a second one would settle the first one's
  // update in the middle of it and append to the same archives. Nothing has
  // been read or changed yet.
  if (!TakeInstanceLock())
    return false;
  // Plugins are registered by the main window; from now on they can find the
  // launcher's state.
  m_plugins = std::make_unique<CPlugIn>(*m_global);
  SetAppInfoHost(m_global.get());

  // 3. The packing library; its failures show their own message.
  if (!m_global->LoadPackLibrary(m_packLibraryName))
    return false;

  // 4. Accounts and settings.
  m_global->LoadSettings();

  // 5. The game folder; a cancelled chooser ends the program without a word.
  if (!FindGameFolder())
    return false;

  // 6. The main window is what runs next.
  m_app->dialogTemplate = ctl::kMainDialogTemplate;
  if (m_mainWindow) {
    m_app->dialogProc = m_mainWindow;
  } else {
    m_window = std::make_unique<MainDialog>(*m_global, *m_plugins);
    m_app->dialogProc = m_window.get();
  }

  // 7.
  m_platform.clock.BeginTimerResolution();
  m_timerResolutionRequested = true;
  return true;
}

bool Launcher::TakeStartDirectory()
{
  std::string directory;
  if (!m_platform.files.CurrentDirectory(directory)) {
    m_app->ShowMessage("Error", "%s", kStartDirUnusable);
    return false;
  }
  if (directory.size() > kLongestStartDirectory) {
    m_app->ShowMessage("Error", kStartDirTooLong, directory.c_str());
    return false;
  }
  CopyText(m_global->startDir, directory);
  return true;
}

bool Launcher::TakeInstanceLock()
{
  const std::string path = std::string(m_global->startDir) + kInstanceLockName;
  const std::uint32_t error = m_platform.files.TakeLock(path.c_str(), m_instanceLock);
  if (error == 0)
    return true;
  if (error == err::kSharingViolation)
    m_app->ShowMessage("Error", "%s", kAlreadyRunning);
  else
    m_app->ShowMessage("Error", kLockFailed, path.c_str(), static_cast<int>(error));
  return false;
}

bool Launcher::FindGameFolder()
{
  CGlobal& global = *m_global;
  if (HoldsGame(m_platform.files, global.OrvDir))
    return true;
  if (FileReadable(m_platform.files, "./orv.exe")) {
    CopyText(global.OrvDir, global.startDir);
    return true;
  }
  return ChooseGameFolder(global);
}

void Launcher::RunDialog()
{
  if (!m_app->dialogProc)
    return;
  if (m_platform.view.RunModalDialog(m_app->dialogTemplate, *m_app->dialogProc) == -1)
    m_app->ShowError("エラー内容\n%s", m_platform.view.LastErrorText().c_str());
}

void Launcher::Shutdown()
{
  // Plugins and the windows go first: they still use the shared state.
  // Then the shared state, which unloads the packing library.
  // The window goes before the plugins: it joins its workers (the connect
  // thread registers plugins) and its timer calls into them.
  m_window.reset();
  if (m_plugins) {
    m_plugins->UnloadAll();
    m_plugins.reset();
  }
  SetAppInfoHost(nullptr);
  m_global.reset();
  if (m_timerResolutionRequested) {
    m_platform.clock.EndTimerResolution();
    m_timerResolutionRequested = false;
  }
  m_app.reset();
  // Last: until here this launcher may still write its settings.
  m_instanceLock.reset();
}

}  // namespace orv
