// dialog_driver: plays the user of the launcher's main window from a second
// process, for the end-to-end test of the Windows program under wine.
//
//   dialog_driver run [--find <seconds>] [--step <seconds>] [--screenshot <file.bmp>]
//       finds the main window by its title, waits for the main button to read
//       "Update" and presses it, then "Login", then "GameStart", and waits for
//       the window and its process to end. Every step is printed; at the end,
//       or when a step fails, so is the process log. Exit status 0 when the
//       whole round ran, 1 when a step failed.
//   dialog_driver login-again [--find <seconds>] [--step <seconds>]
//       presses "Login" and, the moment the failed sign-in gives the button
//       back, presses it again; waits for the second sign-in to end (a hung
//       window never shows it), then presses Exit and waits for the end.
//   dialog_driver options <caption> <version> [--find <seconds>] [--step <seconds>]
//       waits for the main button to read <caption>, opens and closes the
//       options panel, and checks that its local version field read
//       <version> and that the button still reads <caption>; an "Update" is
//       then pressed and its end awaited. Then Exit, and the end.
//   dialog_driver exit [--find <seconds>] [--after <milliseconds>] [--within <milliseconds>]
//       finds the main window, leaves the launcher --after milliseconds to be
//       busy (its connect sequence waiting on servers that never answer),
//       presses Esc and measures how long its process takes to end. Exit
//       status 0 when it ended within --within milliseconds, 1 otherwise.
//   dialog_driver trust <certificate.pem> [<server name>...]
//       adds the certificate to the machine's root authorities and checks that
//       a TLS client trusts it under each name.
//   dialog_driver untrust <certificate.pem>
//       removes it again.
//
// Output is UTF-8, whatever the code page of the process.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "driver/RemoteDialog.h"
#include "driver/RootStore.h"
#include "driver/Screenshot.h"
#include "platform/ControlIds.h"

namespace {

using namespace orv::e2e;

// The title the launcher gives its main window: its name and the PrivateBuild
// string of its own version resource, from the project's version.
constexpr const wchar_t* kTitle = ORV_WINDOW_TITLE;
constexpr DWORD kPollMilliseconds = 100;
// Reading the whole process log costs a few cross-process messages a line.
constexpr ULONGLONG kLogEveryMilliseconds = 500;
// A worker disables the main button while it runs and writes to the log; a
// button that can be pressed, reads another caption and has been quiet this
// long belongs to a launcher that has ended up elsewhere (a failed step, a
// refused login, no server) and will not change by itself.
constexpr ULONGLONG kSettledMilliseconds = 5000;

const ULONGLONG g_started = GetTickCount64();

void Say(const std::string& line)
{
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%6.1f s] ",
                static_cast<double>(GetTickCount64() - g_started) / 1000.0);
  std::fputs(stamp, stdout);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string Quoted(const std::wstring& text)
{
  return "\"" + Utf8(text) + "\"";
}

// Prints a text of the window indented, one line of it a line; line ends
// (CR LF in the window's texts) and trailing ones are dropped.
void PrintIndented(const std::wstring& text)
{
  std::size_t at = 0;
  std::wstring rest = text;
  while (!rest.empty() && (rest.back() == L'\n' || rest.back() == L'\r'))
    rest.pop_back();
  while (at <= rest.size()) {
    std::size_t end = rest.find(L'\n', at);
    if (end == std::wstring::npos)
      end = rest.size();
    std::wstring line = rest.substr(at, end - at);
    if (!line.empty() && line.back() == L'\r')
      line.pop_back();
    std::printf("    %s\n", Utf8(line).c_str());
    at = end + 1;
  }
  std::fflush(stdout);
}

// What the player sees of the main window's progress.
struct Reading {
  std::wstring caption;
  bool enabled = false;
  std::wstring status;

  bool operator==(const Reading&) const = default;
};

class Driver {
 public:
  Driver(HWND dialog, HANDLE process, ULONGLONG stepMilliseconds)
      : m_dialog(dialog), m_process(process), m_stepMilliseconds(stepMilliseconds)
  {
  }

  // Waits until the main button reads the caption and can be pressed.
  bool WaitForButton(const std::wstring& caption)
  {
    Say("waiting for the main button to read " + Quoted(caption));
    const ULONGLONG deadline = GetTickCount64() + m_stepMilliseconds;
    for (;;) {
      if (!StillThere("the main button to read " + Quoted(caption)))
        return false;
      ReadLog(false);
      const std::optional<Reading> now = Read();
      if (now && now->caption == caption && now->enabled)
        return true;
      if (now && now->enabled && GetTickCount64() - m_changed >= kSettledMilliseconds) {
        Say("FAILED: the main button settled on " + Quoted(now->caption) + " instead of " +
            Quoted(caption));
        return false;
      }
      if (GetTickCount64() >= deadline) {
        Say("FAILED: the main button did not read " + Quoted(caption) + " (enabled) within " +
            std::to_string(m_stepMilliseconds / 1000) + " s; it reads " +
            (m_last ? Quoted(m_last->caption) + (m_last->enabled ? " (enabled)" : " (disabled)")
                    : std::string("nothing readable")));
        return false;
      }
      Sleep(kPollMilliseconds);
    }
  }

  bool Press(const std::wstring& caption)
  {
    ReadLog(true);
    m_changed = GetTickCount64();
    if (!m_dialog.PressButton(orv::ctl::kMainButton)) {
      Say("FAILED: the click on " + Quoted(caption) + " could not be posted");
      return false;
    }
    Say("pressed " + Quoted(caption));
    return true;
  }

  // After the last press: the window closes and the launcher's process ends.
  bool WaitForTheEnd()
  {
    Say("waiting for the main window to close and the launcher to end");
    const ULONGLONG deadline = GetTickCount64() + m_stepMilliseconds;
    while (m_dialog.Exists()) {
      if (!NoMessageBoxes())
        return false;
      ReadLog(false);
      Read();
      if (GetTickCount64() >= deadline) {
        Say("FAILED: the main window was still open " + std::to_string(m_stepMilliseconds / 1000) +
            " s after the last press");
        return false;
      }
      Sleep(kPollMilliseconds);
    }
    Say("the main window closed");
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    if (WaitForSingleObject(m_process, left) != WAIT_OBJECT_0) {
      Say("FAILED: the launcher's process was still running after its window closed");
      return false;
    }
    DWORD code = 0;
    GetExitCodeProcess(m_process, &code);
    Say("the launcher's process ended with exit code " + std::to_string(code));
    return true;
  }

  // Any other button of the main window.
  bool PressControl(int id, const std::string& name)
  {
    ReadLog(true);
    m_changed = GetTickCount64();
    if (!m_dialog.PressButton(id)) {
      Say("FAILED: the click on " + name + " could not be posted");
      return false;
    }
    Say("pressed " + name);
    return true;
  }

  // Watches the main button, without a message to the window, until it is
  // taken and given back by the worker a press started; presses it again
  // at once, as Enter does, while that worker may still be enabling the
  // other buttons, and waits for the window to have handled the press.
  bool PressAgainWhenGivenBack(const std::wstring& caption)
  {
    const HWND button = GetDlgItem(m_dialog.handle(), orv::ctl::kMainButton);
    const auto spinUntil = [&](bool enabled) {
      const ULONGLONG deadline = GetTickCount64() + m_stepMilliseconds;
      while ((IsWindowEnabled(button) != FALSE) != enabled)
        if (GetTickCount64() >= deadline)
          return false;
      return true;
    };
    if (!spinUntil(false) || !spinUntil(true)) {
      Say("FAILED: the main button was not taken and given back after the press");
      return false;
    }
    m_changed = GetTickCount64();
    if (!m_dialog.SendCommand(orv::ctl::kMainButton)) {
      Say("FAILED: the window hung on the press of " + Quoted(caption) + " again");
      return false;
    }
    Say("pressed " + Quoted(caption) + " again");
    return true;
  }

  // Waits until the process log holds the line (the window's text, without
  // its line end) that many times and the main button can be pressed.
  bool WaitForLogLine(const std::wstring& line, std::size_t times)
  {
    Say("waiting for " + std::to_string(times) + " log line(s) " + Quoted(line));
    const ULONGLONG deadline = GetTickCount64() + m_stepMilliseconds;
    for (;;) {
      if (!StillThere("the log line " + Quoted(line)))
        return false;
      ReadLog(true);
      const std::optional<Reading> now = Read();
      const auto found = static_cast<std::size_t>(
          std::count_if(m_log.begin(), m_log.end(),
                        [&](const std::wstring& item) { return item.rfind(line, 0) == 0; }));
      if (found >= times && now && now->enabled)
        return true;
      if (GetTickCount64() >= deadline) {
        Say("FAILED: the log held " + std::to_string(found) + " such line(s) after " +
            std::to_string(m_stepMilliseconds / 1000) + " s");
        return false;
      }
      Sleep(kPollMilliseconds);
    }
  }

  // Opens the options panel, reads its local version field and closes it
  // again; the main button must still read caption.
  bool CheckOptions(const std::wstring& caption, const std::wstring& version)
  {
    const auto panel = [&] {
      return FindWindowExW(m_dialog.handle(), nullptr, L"#32770", nullptr);
    };
    const auto waitForPanel = [&](bool shown) {
      const ULONGLONG deadline = GetTickCount64() + m_stepMilliseconds;
      while ((panel() != nullptr) != shown) {
        if (GetTickCount64() >= deadline || !StillThere("the options panel"))
          return false;
        Sleep(kPollMilliseconds);
      }
      return true;
    };
    if (!PressControl(orv::ctl::kOptionButton, "Option") || !waitForPanel(true)) {
      Say("FAILED: the options panel did not open");
      return false;
    }
    const std::optional<std::wstring> field =
        WindowText(GetDlgItem(panel(), orv::ctl::kLocalVersionEdit));
    Say("the options panel's local version reads " + Quoted(field.value_or(L"?")));
    if (!PressControl(orv::ctl::kOptionButton, "Option") || !waitForPanel(false)) {
      Say("FAILED: the options panel did not close");
      return false;
    }
    if (field != version) {
      Say("FAILED: the local version field read " + Quoted(field.value_or(L"?")) + " instead of " +
          Quoted(version));
      return false;
    }
    const std::optional<Reading> now = Read();
    if (!now || now->caption != caption) {
      Say("FAILED: opening the options changed the main button to " +
          Quoted(now ? now->caption : L"?"));
      return false;
    }
    return true;
  }

  void SaveImage(const std::wstring& file)
  {
    std::string error;
    if (SaveWindowImage(m_dialog.handle(), file, error))
      Say("saved a picture of the window to " + Utf8(file));
    else
      Say("no picture of the window: " + error);
  }

  void PrintInformation()
  {
    const std::optional<std::wstring> text = m_dialog.ControlText(orv::ctl::kInformation);
    if (!text)
      return;
    Say("the information field reads:");
    PrintIndented(*text);
  }

  void PrintLog() const
  {
    if (m_log.empty()) {
      std::printf("the process log was empty or could not be read\n");
      std::fflush(stdout);
      return;
    }
    std::printf("the process log as the window last showed it, oldest line first (%zu lines):\n",
                m_log.size());
    for (auto line = m_log.rbegin(); line != m_log.rend(); ++line)
      PrintIndented(*line);
    std::fflush(stdout);
  }

 private:
  // Prints every change of the button or the status line, once.
  std::optional<Reading> Read()
  {
    Reading now;
    const std::optional<std::wstring> caption = m_dialog.ControlText(orv::ctl::kMainButton);
    const std::optional<bool> enabled = m_dialog.ControlEnabled(orv::ctl::kMainButton);
    const std::optional<std::wstring> status = m_dialog.ControlText(orv::ctl::kStatusLine);
    if (!caption || !enabled || !status)
      return std::nullopt;
    now.caption = *caption;
    now.enabled = *enabled;
    now.status = *status;
    if (!m_last || !(*m_last == now)) {
      m_changed = GetTickCount64();
      Say("main button " + Quoted(now.caption) + (now.enabled ? " enabled" : " disabled") +
          ", status line " + Quoted(now.status));
    }
    m_last = now;
    return now;
  }

  void ReadLog(bool now)
  {
    if (!now && GetTickCount64() - m_logRead < kLogEveryMilliseconds)
      return;
    m_logRead = GetTickCount64();
    if (std::optional<std::vector<std::wstring>> lines =
            m_dialog.ListBoxLines(orv::ctl::kProcessLog)) {
      if (*lines != m_log)
        m_changed = GetTickCount64();
      m_log = std::move(*lines);
    }
  }

  bool StillThere(const std::string& waitingFor)
  {
    if (!m_dialog.Exists()) {
      Say("FAILED: the main window closed while waiting for " + waitingFor);
      return false;
    }
    return NoMessageBoxes();
  }

  // A message box means the launcher stopped to tell the player something
  // went wrong; nobody will click it away.
  bool NoMessageBoxes()
  {
    const std::vector<HWND> boxes = OtherVisibleWindows(m_dialog.processId(), m_dialog.handle());
    if (boxes.empty())
      return true;
    for (HWND box : boxes) {
      Say("FAILED: the launcher shows a window titled " + Quoted(WindowText(box).value_or(L"?")));
      for (const std::wstring& text : ChildTexts(box))
        PrintIndented(text);
    }
    return false;
  }

  RemoteDialog m_dialog;
  HANDLE m_process;
  ULONGLONG m_stepMilliseconds;
  std::optional<Reading> m_last;
  std::vector<std::wstring> m_log;
  ULONGLONG m_logRead = 0;
  // When the button, the status line or the log last changed, or the button
  // was last pressed.
  ULONGLONG m_changed = GetTickCount64();
};

// A visible dialog that is not the main window: before the main window there
// is none, unless start-up stopped to tell the player something (a refused
// locale, a missing library, the folder chooser).
HWND OtherDialog()
{
  HWND found = nullptr;
  EnumWindows(
      [](HWND window, LPARAM context) -> BOOL {
        wchar_t className[16] = L"";
        GetClassNameW(window, className, 16);
        if (IsWindowVisible(window) && std::wcscmp(className, L"#32770") == 0 &&
            WindowText(window).value_or(kTitle) != kTitle) {
          *reinterpret_cast<HWND*>(context) = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

HWND FindMainWindow(ULONGLONG findMilliseconds)
{
  Say("looking for the window " + Quoted(kTitle));
  const ULONGLONG deadline = GetTickCount64() + findMilliseconds;
  // Another dialog counts once it has stayed a while: the main window may
  // show itself before it has its title.
  HWND other = nullptr;
  ULONGLONG otherSince = 0;
  for (;;) {
    if (HWND window = FindWindowW(nullptr, kTitle))
      return window;
    HWND now = OtherDialog();
    if (now != other) {
      other = now;
      otherSince = GetTickCount64();
    } else if (other && GetTickCount64() - otherSince >= 1000) {
      Say("FAILED: instead of the main window there is a window titled " +
          Quoted(WindowText(other).value_or(L"?")));
      for (const std::wstring& text : ChildTexts(other))
        PrintIndented(text);
      return nullptr;
    }
    if (GetTickCount64() >= deadline) {
      Say("FAILED: no window titled " + Quoted(kTitle) + " appeared within " +
          std::to_string(findMilliseconds / 1000) + " s");
      return nullptr;
    }
    Sleep(kPollMilliseconds);
  }
}

// Finds the main window and plays one round on it. Exit status 0 when the
// round ran, 1 when a step failed, 2 for options it does not know.
int Drive(const std::vector<std::wstring>& options, const std::string& roundName,
          const std::function<bool(Driver&, const std::wstring& screenshot)>& round)
{
  ULONGLONG findMilliseconds = 60000;
  ULONGLONG stepMilliseconds = 60000;
  std::wstring screenshot;
  for (std::size_t i = 0; i + 1 < options.size(); i += 2) {
    const std::wstring& value = options[i + 1];
    if (options[i] == L"--find")
      findMilliseconds = std::wcstoull(value.c_str(), nullptr, 10) * 1000;
    else if (options[i] == L"--step")
      stepMilliseconds = std::wcstoull(value.c_str(), nullptr, 10) * 1000;
    else if (options[i] == L"--screenshot")
      screenshot = value;
    else
      return 2;
  }
  if (options.size() % 2 != 0)
    return 2;

  HWND window = FindMainWindow(findMilliseconds);
  if (!window)
    return 1;
  wchar_t className[64] = L"";
  GetClassNameW(window, className, 64);
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (!process) {
    Say("FAILED: cannot watch the launcher's process " + std::to_string(processId) + ": error " +
        std::to_string(GetLastError()));
    return 1;
  }
  Say("found the main window (class " + Utf8(className) + ", process " +
      std::to_string(processId) + ")");

  Driver driver(window, process, stepMilliseconds);
  const bool ran = round(driver, screenshot);
  driver.PrintLog();
  CloseHandle(process);
  if (ran)
    Say("the whole round ran: " + roundName);
  return ran ? 0 : 1;
}

int Run(const std::vector<std::wstring>& options)
{
  const auto round = [](Driver& driver, const std::wstring& screenshot) {
    if (!driver.WaitForButton(L"Update"))
      return false;
    driver.PrintInformation();
    if (!driver.Press(L"Update") || !driver.WaitForButton(L"Login"))
      return false;
    // The periodic version check one second after the update takes a mode
    // reached by signing in back to Login: the sign-in waits for it.
    if (!driver.WaitForLogLine(L"自動更新確認の終了", 1))
      return false;
    if (!driver.Press(L"Login") || !driver.WaitForButton(L"GameStart"))
      return false;
    if (!screenshot.empty())
      driver.SaveImage(screenshot);
    return driver.Press(L"GameStart") && driver.WaitForTheEnd();
  };
  return Drive(options, "Update, Login, GameStart", round);
}

// A refused sign-in, and the main button pressed again the moment it is
// given back: the window must neither hang nor lose the press.
int LoginAgain(const std::vector<std::wstring>& options)
{
  const auto round = [](Driver& driver, const std::wstring&) {
    return driver.WaitForButton(L"Login") && driver.Press(L"Login") &&
           driver.PressAgainWhenGivenBack(L"Login") &&
           driver.WaitForLogLine(L"サーバーログイン", 2) &&
           driver.PressControl(orv::ctl::kExitButton, "Exit") && driver.WaitForTheEnd();
  };
  return Drive(options, "Login, Login again at once, Exit", round);
}

// Opening the options panel is no edit of the local version or the mode.
int Options(const std::wstring& caption, const std::wstring& version,
            const std::vector<std::wstring>& options)
{
  const auto round = [&](Driver& driver, const std::wstring&) {
    if (!driver.WaitForButton(caption) || !driver.CheckOptions(caption, version))
      return false;
    if (caption == L"Update" &&
        (!driver.Press(caption) || !driver.WaitForLogLine(L"アップデートに", 1)))
      return false;
    return driver.PressControl(orv::ctl::kExitButton, "Exit") && driver.WaitForTheEnd();
  };
  return Drive(options, "the options panel opened and closed, Exit", round);
}

// Milliseconds of a clock finer than the tick count's 10 to 16.
double NowMilliseconds()
{
  LARGE_INTEGER frequency;
  LARGE_INTEGER now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

int ExitAtOnce(const std::vector<std::wstring>& options)
{
  ULONGLONG findMilliseconds = 60000;
  DWORD afterMilliseconds = 2000;
  DWORD withinMilliseconds = 1000;
  for (std::size_t i = 0; i + 1 < options.size(); i += 2) {
    const unsigned long long value = std::wcstoull(options[i + 1].c_str(), nullptr, 10);
    if (options[i] == L"--find")
      findMilliseconds = value * 1000;
    else if (options[i] == L"--after")
      afterMilliseconds = static_cast<DWORD>(value);
    else if (options[i] == L"--within")
      withinMilliseconds = static_cast<DWORD>(value);
    else
      return 2;
  }
  if (options.size() % 2 != 0)
    return 2;

  HWND window = FindMainWindow(findMilliseconds);
  if (!window)
    return 1;
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
  if (!process) {
    Say("FAILED: cannot watch the launcher's process " + std::to_string(processId));
    return 1;
  }
  Sleep(afterMilliseconds);
  RemoteDialog dialog(window);
  const std::optional<bool> busy = dialog.ControlEnabled(orv::ctl::kMainButton);
  Say(std::string("the main button is ") +
      (busy ? (*busy ? "enabled" : "disabled (the launcher is still connecting)") : "unreadable"));
  // Esc as the keyboard gives it to the dialog's focused control; the
  // dialog's loop turns it into the Exit button's command.
  HWND target = GetDlgItem(window, orv::ctl::kKivoraIdCombo);
  const double pressed = NowMilliseconds();
  if (!target || !PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 1) ||
      !PostMessageW(target, WM_KEYUP, VK_ESCAPE, 0xC0000001)) {
    Say("FAILED: Esc could not be posted");
    CloseHandle(process);
    return 1;
  }
  Say("pressed Esc");
  // A launcher that hangs is left to the script, which stops it.
  const DWORD waited = WaitForSingleObject(process, withinMilliseconds + 15000);
  const double took = NowMilliseconds() - pressed;
  CloseHandle(process);
  if (waited != WAIT_OBJECT_0) {
    Say("FAILED: the launcher's process was still running " +
        std::to_string(static_cast<long>(took)) + " ms after Esc");
    return 1;
  }
  char line[96];
  std::snprintf(line, sizeof line, "the launcher's process ended %.0f ms after Esc", took);
  Say(line);
  if (took > withinMilliseconds) {
    Say("FAILED: that is more than " + std::to_string(withinMilliseconds) + " ms");
    return 1;
  }
  return 0;
}

int Usage()
{
  std::fputs(
      "usage: dialog_driver run [--find <seconds>] [--step <seconds>] [--screenshot <file.bmp>]\n"
      "       dialog_driver login-again [--find <seconds>] [--step <seconds>]\n"
      "       dialog_driver options <caption> <version> [--find <seconds>] [--step <seconds>]\n"
      "       dialog_driver exit [--find <seconds>] [--after <ms>] [--within <ms>]\n"
      "       dialog_driver trust <certificate.pem> [<server name>...]\n"
      "       dialog_driver untrust <certificate.pem>\n",
      stderr);
  return 2;
}

}  // namespace

int main()
{
  // Lines go out as they are written: no CR is added before each LF.
  _setmode(_fileno(stdout), _O_BINARY);

  int count = 0;
  LPWSTR* given = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!given)
    return Usage();
  const std::vector<std::wstring> arguments(given + (count > 0 ? 1 : 0), given + count);
  LocalFree(given);
  if (arguments.empty())
    return Usage();

  const std::wstring& command = arguments[0];
  if (command == L"run" || command == L"exit") {
    const std::vector<std::wstring> options(arguments.begin() + 1, arguments.end());
    const int result = command == L"run" ? Run(options) : ExitAtOnce(options);
    return result == 2 ? Usage() : result;
  }
  if (command == L"login-again") {
    const int result = LoginAgain({arguments.begin() + 1, arguments.end()});
    return result == 2 ? Usage() : result;
  }
  if (command == L"options" && arguments.size() >= 3) {
    const int result =
        Options(arguments[1], arguments[2], {arguments.begin() + 3, arguments.end()});
    return result == 2 ? Usage() : result;
  }
  if ((command == L"trust" && arguments.size() >= 2) ||
      (command == L"untrust" && arguments.size() == 2)) {
    std::string error;
    const bool done =
        command == L"trust"
            ? TrustCertificate(arguments[1], {arguments.begin() + 2, arguments.end()}, error)
            : DistrustCertificate(arguments[1], error);
    if (!done) {
      Say("FAILED: " + error);
      return 1;
    }
    Say(command == L"trust" ? "the root store trusts " + Utf8(arguments[1])
                            : Utf8(arguments[1]) + " is not in the root store");
    return 0;
  }
  return Usage();
}
