#include "login/GameLaunch.h"

#include <cstdio>
#include <string>

#include "app/CGlobal.h"
#include "app/LauncherApp.h"
#include "platform/ControlIds.h"
#include "platform/ErrorCodes.h"

namespace orv {

namespace {

constexpr std::size_t kLongestInput = 255;
// The game's command line lives in a 512-byte buffer.
constexpr std::size_t kLongestCommandLine = 511;
constexpr const char* kStartFailed = "ORVを起動できませんでした\nErrCode [%d]";

std::string AccountText(View& window)
{
  std::string text = window.GetControlText(ctl::kOrvAccountCombo);
  if (text.size() > kLongestInput)
    text.resize(kLongestInput);
  return text;
}

}  // namespace

void LaunchGame(CGlobal& global, const std::function<bool()>& pluginTakesOver)
{
  View* window = global.MainWindow();
  if (!window)
    return;
  if (AccountText(*window).empty()) {
    global.app().ShowMessage("Error", "アカウントIDが登録されていません");
    return;
  }
  if (pluginTakesOver()) {
    window->PostQuit(0);
    return;
  }
  const std::string account = AccountText(*window);
  window->ShowMainWindowNormal();

  const std::string executable = std::string(global.OrvDir) + "\\orv.exe";
  const std::string commandLine =
      "\"" + executable + "\" /Launch -u:" + account + " -p:" + global.oneTimePass;
  // A cut command line would start the game with another account or a wrong
  // password; a line that does not fit is refused instead.
  if (commandLine.size() > kLongestCommandLine) {
    global.app().ShowMessage("Error", kStartFailed, static_cast<int>(err::kFilenameTooLong));
    return;
  }
  const std::uint32_t error =
      global.platform().processes.Start(executable.c_str(), commandLine.c_str(), global.OrvDir);
  if (error != 0) {
    global.app().ShowMessage("Error", kStartFailed, static_cast<int>(error));
    return;
  }
  window->PostQuit(0);
}

void OpenHomePage(CGlobal& global)
{
  global.platform().processes.ShellOpen("iexplore.exe", global.Home);
  if (View* window = global.MainWindow())
    window->PostQuit(0);
}

}  // namespace orv
