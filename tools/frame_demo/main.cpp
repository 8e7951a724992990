// The launcher's frame on a console: start-up, a stand-in for the main window
// that reports what start-up found, runs the part of the connect sequence
// that is built (local version, information text, server version and, when
// they differ, the step update), and saves the settings as the main window
// does when it closes; then shutdown. Message boxes are printed, the folder
// chooser is cancelled, and every text is shown as UTF-8.
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BuildDeployment.h"
#include "app/CGlobal.h"
#include "app/Launcher.h"
#include "app/LauncherMode.h"
#include "net/ConnectionContext.h"
#include "net/HttpSession.h"
#include "patcher/CPatcher.h"
#include "patcher/VersionCheck.h"
#include "platform/QuietView.h"
#include "platform/posix/Cp932.h"
#include "platform/posix/PosixPlatform.h"
#include "ui/ControlIds.h"

namespace {

using namespace orv;

std::string Utf8(std::string_view text)
{
  std::string utf8;
  return posix::Cp932ToUtf8(text, utf8) ? utf8 : std::string(text);
}

class ConsoleView final : public QuietView {
 public:
  void ShowMessageBox(const char* caption, const char* text, MessageStyle) override
  {
    std::printf("[message box \"%s\"]\n%s\n[OK]\n", Utf8(caption).c_str(), Utf8(text).c_str());
  }

  bool ChooseFolder(const char* title, const std::function<bool(const char*)>&) override
  {
    std::printf("[folder chooser \"%s\": nobody at the console to choose, cancelled]\n",
                Utf8(title).c_str());
    return false;
  }

  int RunModalDialog(int templateId, DialogHandler& handler) override
  {
    std::printf("[dialog %d opens]\n", templateId);
    handler.OnInitDialog();
    handler.OnDestroy();
    std::printf("[dialog %d closed]\n", templateId);
    return 0;
  }

  std::string LastErrorText() override { return {}; }

  void AddProcessLogLine(std::string item) override
  {
    std::printf("log | %s", Utf8(item).c_str());
  }

  void SetStatusLine(std::string text) override
  {
    std::printf("status | %s\n", Utf8(text).c_str());
  }

  void SetControlText(int controlId, const char* text) override
  {
    if (controlId == ctl::kInformation) {
      std::string shown = Utf8(text);
      for (std::size_t at = 0; (at = shown.find('\r', at)) != std::string::npos;)
        shown.erase(at, 1);
      std::printf("information |\n%s%s", shown.c_str(),
                  shown.empty() || shown.back() != '\n' ? "\n" : "");
      return;
    }
    std::printf("control %d | %s\n", controlId, Utf8(text).c_str());
  }

  // The stand-in window has no buttons or bar to show: QuietView takes them.

  // The patch thread stops the update timer when its run begins and starts
  // it again as its last call to the window: that is how the window learns
  // that the run has ended.
  void StartTimer(int timerId, unsigned) override
  {
    if (timerId != ctl::kUpdateTimer)
      return;
    std::lock_guard<std::mutex> guard(m_timerLock);
    m_timerRunning = true;
    m_timerChanged.notify_all();
  }
  void StopTimer(int timerId) override
  {
    if (timerId != ctl::kUpdateTimer)
      return;
    std::lock_guard<std::mutex> guard(m_timerLock);
    m_timerRunning = false;
  }
  // Called before a run starts, so that a timer started earlier cannot pass
  // for the end of the run.
  void ForgetUpdateTimer()
  {
    std::lock_guard<std::mutex> guard(m_timerLock);
    m_timerRunning = false;
  }
  void WaitForUpdateTimer()
  {
    std::unique_lock<std::mutex> guard(m_timerLock);
    m_timerChanged.wait(guard, [this] { return m_timerRunning; });
  }

 private:
  std::mutex m_timerLock;
  std::condition_variable m_timerChanged;
  bool m_timerRunning = false;
};

// STAND-IN for the main window, which is not part of this build yet: no
// buttons, no accounts to choose, no login. It runs what the real window
// runs when it opens, as far as that is built, and nothing else.
class StandInMainWindow final : public DialogHandler {
 public:
  StandInMainWindow(ConsoleView& view) : m_view(view) {}
  void Attach(Launcher& launcher) { m_launcher = &launcher; }

  void OnInitDialog() override
  {
    CGlobal& global = *m_launcher->Global();
    global.SetMainWindow(&m_view);
    global.WriteProcessLog("起動チェック完了 (ロケール, unpack.dll, 設定, ゲームフォルダ)");
    global.WriteProcessLog("起動フォルダ: %s", global.startDir);
    global.WriteProcessLog("設定ファイル: %s", global.configPath);
    global.WriteProcessLog("ゲームフォルダ: %s", global.OrvDir);
    global.WriteProcessLog("Timeout:%d Logging:%d AutoStart:%d ReStruct:%d", global.Timeout,
                           global.Logging, global.AutoStart, global.ReStruct);
    global.WriteProcessLog("アカウント: %zu件", global.accounts.size());
    for (const AccountEntry& account : global.accounts)
      global.WriteProcessLog("  KivoraID:%s ORV-Account:%zu件", account.kivoraId.c_str(),
                             account.orvAccountIds.size());
    DemonstratePacking(global);
    global.SetLauncherMode(kForceLogin);
    Connect(global);
    global.WriteStatus("メインウィンドウは次の段階で実装されます");
  }

  void OnCommand(int, int) override {}
  void OnTimer(int) override {}

  void OnDestroy() override
  {
    // What the main window does when it is destroyed: accounts, then settings.
    CGlobal& global = *m_launcher->Global();
    if (m_patcher) {
      WaitForWorker(*m_patcher);
      m_patcher->CloseSession();
    }
    if (m_versionConnection)
      m_versionConnection->session.Close();
    global.SaveAccounts();
    global.SaveSettings();
    global.WriteProcessLog("アカウントと設定を保存しました");
    global.SetMainWindow(nullptr);
  }

 private:
  // The connect sequence as far as it is built: the version connection,
  // the local version, the information text, the server version, and the
  // step update when the versions differ. The stand-in has no buttons, so
  // it starts the update itself and waits for the run to end.
  void Connect(CGlobal& global)
  {
    // Transfers go on only while workers may run, as on the connect thread.
    global.workerRun = 1;
    const std::uint32_t timeout = TimeoutMilliseconds(global.Timeout);
    m_versionConnection = std::make_unique<ConnectionContext>(global);
    m_versionConnection->session.Open(timeout);
    ReadLocalVersion(global, m_versions);
    FetchInformation(global, *m_versionConnection);
    if (!CheckServerVersion(global, m_versions, *m_versionConnection) ||
        global.launcherMode != kUpdate)
      return;

    m_patcher = std::make_unique<CPatcher>(global, m_versions);
    m_patcher->OpenSession(timeout);
    m_view.ForgetUpdateTimer();
    m_patcher->Start();
    if (!m_patcher->HasThread())
      return;
    m_view.WaitForUpdateTimer();
    // The run is over: this only joins the thread.
    WaitForWorker(*m_patcher);
    std::printf("patch run: ended at Ver. %d/%d, mode %s\n",
                static_cast<int>(m_versions.localVersion),
                static_cast<int>(m_versions.serverVersion),
                Utf8(ModeName(global.launcherMode)).c_str());
  }

  static const char* ModeName(std::int32_t mode)
  {
    const char* caption = LauncherModeCaption(mode);
    return caption ? caption : "?";
  }

  // A round trip through the packing library, as a plugin packs and as the
  // archive reader unpacks.
  static void DemonstratePacking(CGlobal& global)
  {
    const std::string text = "ORVのアーカイブ項目 ORVのアーカイブ項目 ORVのアーカイブ項目";
    void* packed = nullptr;
    std::uint32_t packedSize = 0;
    if (!global.Pack(text.data(), static_cast<std::uint32_t>(text.size()), &packed, &packedSize))
      return;
    std::vector<std::uint8_t> unpacked;
    const bool ok = global.Unpack(packedSize | 0x80000000u, static_cast<std::uint32_t>(text.size()),
                                  static_cast<const std::uint8_t*>(packed), unpacked);
    global.PackDataRelease(packed);
    global.WriteProcessLog("unpack.dll: %zuバイト -> %uバイト -> %s「%.*s」", text.size(), packedSize,
                           ok ? "" : "失敗 ", static_cast<int>(unpacked.size()),
                           reinterpret_cast<const char*>(unpacked.data()));
  }

  ConsoleView& m_view;
  Launcher* m_launcher = nullptr;
  // The patcher reads the versions: they outlive it.
  VersionState m_versions;
  std::unique_ptr<ConnectionContext> m_versionConnection;
  std::unique_ptr<CPatcher> m_patcher;
};

}  // namespace

int main()
{
  ConsoleView view;
  posix::PosixPlatform backends;
  StandInMainWindow window(view);
  Launcher launcher(backends.With(view), BuildDeployment(), window);
  window.Attach(launcher);

  launcher.CreateApp();
  const bool started = launcher.Startup();
  std::printf("start-up: %s\n", started ? "passed" : "ended the program");
  if (started)
    launcher.RunDialog();
  launcher.Shutdown();
  std::printf("shutdown: done\n");
  return started ? 0 : 2;
}
