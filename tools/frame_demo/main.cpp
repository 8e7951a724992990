// The launcher's frame on a console: start-up, a stand-in for the main window
// that reports what start-up found and saves the settings as the main window
// does when it closes, and shutdown. Message boxes are printed, the folder
// chooser is cancelled, and every text is shown as UTF-8.
#include <cstdio>
#include <string>
#include <vector>

#include "BuildDeployment.h"
#include "app/CGlobal.h"
#include "app/Launcher.h"
#include "app/LauncherMode.h"
#include "platform/posix/Cp932.h"
#include "platform/posix/PosixPlatform.h"

namespace {

using namespace orv;

std::string Utf8(std::string_view text)
{
  std::string utf8;
  return posix::Cp932ToUtf8(text, utf8) ? utf8 : std::string(text);
}

class ConsoleView final : public View {
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
    std::printf("control %d | %s\n", controlId, Utf8(text).c_str());
  }

  // The stand-in window has no buttons, bar or timer to show.
  void EnableControl(int, bool) override {}
  void SetProgressRange(int, int) override {}
  void SetProgressStep(int) override {}
  void SetProgressPosition(int) override {}
  void StepProgress() override {}
  void StartTimer(int, unsigned) override {}
  void StopTimer(int) override {}
  bool DispatchPendingEvent() override { return false; }
};

// Stands in for the main window, which is not part of this build yet.
class StandInMainWindow final : public DialogHandler {
 public:
  StandInMainWindow(View& view) : m_view(view) {}
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
    global.WriteStatus("メインウィンドウは次の段階で実装されます");
  }

  void OnCommand(int, int) override {}
  void OnTimer(int) override {}

  void OnDestroy() override
  {
    // What the main window does when it is destroyed: accounts, then settings.
    CGlobal& global = *m_launcher->Global();
    global.SaveAccounts();
    global.SaveSettings();
    global.WriteProcessLog("アカウントと設定を保存しました");
    global.SetMainWindow(nullptr);
  }

 private:
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

  View& m_view;
  Launcher* m_launcher = nullptr;
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
