// The Windows window under wine: the program's own dialog resources run by
// the dialog procedures, first with a scripted handler (the resources and the
// view's thread contract), then with the launcher's real main window on the
// real back-ends and a loopback patch server, worked through its controls as
// a user would.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/CGlobal.h"
#include "frontend/win32/Win32View.h"
#include "platform/ControlIds.h"
#include "root/Launcher.h"
#include "support/LoopbackServer.h"
#include "support/PatchStep.h"
#include "support/TempDir.h"
#include "support/TestPlatform.h"

namespace orv::test {
namespace {

bool WaitFor(const std::function<bool()>& condition, ULONGLONG milliseconds = 20000)
{
  const ULONGLONG end = GetTickCount64() + milliseconds;
  while (!condition()) {
    if (GetTickCount64() > end)
      return false;
    Sleep(5);
  }
  return true;
}

std::string ClassOf(HWND window)
{
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

std::string TextOf(HWND window)
{
  char text[512] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

// A visible dialog of this process, by its title (any title when null): the
// tests run side by side, and another test's dialog is not ours.
HWND FindOwnDialog(const char* title)
{
  struct Search {
    const char* title;
    HWND found;
  } search{title, nullptr};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto& search = *reinterpret_cast<Search*>(data);
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process != GetCurrentProcessId() || ClassOf(window) != "#32770" ||
            !IsWindowVisible(window) || (search.title && TextOf(window) != search.title))
          return TRUE;
        search.found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// A control's rectangle in its dialog's client coordinates.
RECT PlaceOf(HWND control)
{
  RECT place;
  GetWindowRect(control, &place);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&place), 2);
  return place;
}

int WidthOf(HWND window)
{
  RECT area;
  GetWindowRect(window, &area);
  return area.right - area.left;
}

std::vector<std::string> ListItems(HWND list)
{
  std::vector<std::string> items;
  const auto count = SendMessageA(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    std::string item(static_cast<size_t>(SendMessageA(list, LB_GETTEXTLEN, i, 0)) + 1, '\0');
    item.resize(static_cast<size_t>(
        SendMessageA(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(item.data()))));
    items.push_back(item);
  }
  return items;
}

// Writes what the window shows into a bitmap file, for people to look at.
// The window must be on top.
void SaveScreenshot(HWND window, const std::filesystem::path& file)
{
  RECT area;
  GetWindowRect(window, &area);
  const int width = area.right - area.left;
  const int height = area.bottom - area.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  // Copied from the screen, where the window is drawn as the user sees it.
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  Sleep(300);
  BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  GdiFlush();
  const DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) & ~3u);
  const DWORD size = stride * static_cast<DWORD>(height);
  BITMAPFILEHEADER header = {0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) +
                                                        sizeof(BITMAPINFOHEADER) + size),
                             0, 0,
                             static_cast<DWORD>(sizeof(BITMAPFILEHEADER) +
                                                sizeof(BITMAPINFOHEADER))};
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&header), sizeof header);
  out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
  out.write(static_cast<const char*>(bits), size);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

class ScriptedHandler : public DialogHandler {
 public:
  explicit ScriptedHandler(std::function<void()> onInit = {}) : m_onInit(std::move(onInit)) {}
  void OnInitDialog() override
  {
    if (m_onInit)
      m_onInit();
  }
  void OnCommand(int controlId, int code) override
  {
    std::lock_guard<std::mutex> hold(mutex);
    commands.push_back({controlId, code});
  }
  void OnTimer(int timerId) override
  {
    if (onTimer)
      onTimer(timerId);
  }
  void OnDestroy() override { ++destroyed; }

  bool Received(int controlId, int code)
  {
    std::lock_guard<std::mutex> hold(mutex);
    for (const auto& command : commands)
      if (command == std::make_pair(controlId, code))
        return true;
    return false;
  }

  std::function<void()> m_onInit;
  std::function<void(int)> onTimer;
  std::mutex mutex;
  std::vector<std::pair<int, int>> commands;
  std::atomic<int> destroyed{0};
};

// Runs the main window with handler; script runs on a thread of its own, as
// a worker of the launcher would, once the window exists. The window ends
// when the script returns, unless the script ended it.
int RunWithScript(win32::Win32View& view, ScriptedHandler& handler,
                  const std::function<void()>& script)
{
  std::thread worker;
  handler.m_onInit = [&] {
    worker = std::thread([&] {
      script();
      view.PostQuit(0);
    });
  };
  const int result = view.RunModalDialog(ctl::kMainDialogTemplate, handler);
  worker.join();
  return result;
}

struct ControlPlace {
  int id;
  const char* windowClass;
  RECT dialogUnits;  // x, y, width, height; a combo box's height is its list's
};

TEST(Win32ViewTest, TheResourcesHoldBothDialogsAsTheLauncherExpectsThem)
{
  win32::Win32View view(GetModuleHandleA(nullptr));
  ScriptedHandler handler;
  ScriptedHandler panelHandler;
  const int result = RunWithScript(view, handler, [&] {
    const HWND main = view.MainWindow();
    ASSERT_TRUE(main);
    const ControlPlace mainControls[] = {
        {ctl::kInformation, "Edit", {4, 16, 135, 164}},
        {ctl::kProcessLog, "ListBox", {148, 16, 150, 144}},
        {ctl::kStatusLine, "Edit", {148, 165, 150, 14}},
        {ctl::kProgressBar, PROGRESS_CLASSA, {148, 185, 150, 14}},
        {ctl::kKivoraIdCombo, "ComboBox", {55, 200, 81, 30}},
        {ctl::kOrvAccountCombo, "ComboBox", {55, 220, 81, 30}},
        {ctl::kPasswordEdit, "Edit", {55, 240, 81, 14}},
        {ctl::kMainButton, "Button", {148, 210, 50, 14}},
        {ctl::kOptionButton, "Button", {215, 210, 50, 14}},
        {ctl::kWebPageButton, "Button", {170, 240, 50, 14}},
        {ctl::kExitButton, "Button", {240, 240, 50, 14}},
    };
    for (const ControlPlace& expected : mainControls) {
      SCOPED_TRACE("control " + std::to_string(expected.id));
      const HWND control = GetDlgItem(main, expected.id);
      ASSERT_TRUE(control);
      EXPECT_EQ(ClassOf(control), expected.windowClass);
      // Position and size are mapped to pixels one by one, as the dialog
      // manager maps them.
      RECT pixels = expected.dialogUnits;
      MapDialogRect(main, &pixels);
      const RECT place = PlaceOf(control);
      EXPECT_EQ(place.left, pixels.left);
      EXPECT_EQ(place.top, pixels.top);
      EXPECT_EQ(place.right - place.left, pixels.right);
      if (ClassOf(control) != "ComboBox") {  // closed, a combo box is one line high
        EXPECT_EQ(place.bottom - place.top, pixels.bottom);
      }
    }
    RECT size = {0, 0, 303, 263};
    MapDialogRect(main, &size);
    RECT client;
    GetClientRect(main, &client);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);
    // No system menu; Enter presses the main button, which starts disabled
    // with the Option button; the password shows as stars.
    EXPECT_EQ(GetWindowLongA(main, GWL_STYLE) & WS_SYSMENU, 0);
    EXPECT_EQ(GetWindowLongA(GetDlgItem(main, ctl::kMainButton), GWL_STYLE) & BS_TYPEMASK,
              BS_DEFPUSHBUTTON);
    EXPECT_FALSE(view.IsControlEnabled(ctl::kMainButton));
    EXPECT_FALSE(view.IsControlEnabled(ctl::kOptionButton));
    EXPECT_TRUE(view.IsControlEnabled(ctl::kExitButton));
    EXPECT_EQ(SendDlgItemMessageA(main, ctl::kPasswordEdit, EM_GETPASSWORDCHAR, 0, 0), '*');

    // The panel, asked for from this thread, is made on the window thread
    // at the main window's right edge, and the window widens by its width.
    const int narrow = WidthOf(main);
    ASSERT_TRUE(view.ShowOptionPanel(panelHandler));
    const HWND panel = view.OptionPanel();
    ASSERT_TRUE(panel);
    EXPECT_EQ(GetWindowThreadProcessId(panel, nullptr), GetWindowThreadProcessId(main, nullptr));
    EXPECT_EQ(WidthOf(main), narrow + WidthOf(panel));
    EXPECT_EQ(PlaceOf(panel).left, narrow);
    EXPECT_EQ(PlaceOf(panel).top, 0);
    RECT panelSize = {0, 0, 187, 264};
    MapDialogRect(panel, &panelSize);
    GetClientRect(panel, &client);
    EXPECT_EQ(client.right, panelSize.right);
    const std::pair<int, const char*> panelControls[] = {
        {ctl::kBrowseButton, "参照..."},
        {ctl::kParallelPatchCheck, "パッチ当ての並列化"},
        {ctl::kReStructCheck, "適用ファイルを再構築"},
        {ctl::kAddKivoraButton, "KivoraID追加"},
        {ctl::kAddAttractionButton, "AttractionID追加"},
        {ctl::kRunPluginButton, "プラグイン実行"},
    };
    for (const auto& [id, caption] : panelControls)
      EXPECT_EQ(TextOf(GetDlgItem(panel, id)), caption) << id;
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(panel, ctl::kParallelPatchCheck)));
    EXPECT_EQ(GetWindowLongA(GetDlgItem(panel, ctl::kLocalVersionEdit), GWL_STYLE) & ES_NUMBER,
              ES_NUMBER);

    const HWND list = GetDlgItem(panel, ctl::kPluginList);
    EXPECT_EQ(ClassOf(list), WC_LISTVIEWA);
    const auto extended = SendMessageA(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
    EXPECT_EQ(extended & (LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT),
              LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    view.AddListColumn(ctl::kPluginList, "プラグイン名称", 90);
    view.AddListColumn(ctl::kPluginList, "Ver.", 90);
    view.AddListColumn(ctl::kPluginList, "説明", 400);
    view.AddListRow(ctl::kPluginList, {"first", "1.0", "説明その一"});
    view.AddListRow(ctl::kPluginList, {"second", "2.0", "two"});
    EXPECT_EQ(view.ListRowCount(ctl::kPluginList), 2);
    EXPECT_EQ(view.ListSelectedRow(ctl::kPluginList), -1);
    char cell[64] = {};
    LVITEMA item = {};
    item.iSubItem = 2;
    item.pszText = cell;
    item.cchTextMax = sizeof cell;
    SendMessageA(list, LVM_GETITEMTEXTA, 0, reinterpret_cast<LPARAM>(&item));
    EXPECT_STREQ(cell, "説明その一");

    // Setting an edit's text notifies its dialog as a user's change does.
    view.SetPanelText(ctl::kLocalVersionEdit, "41");
    EXPECT_TRUE(panelHandler.Received(ctl::kLocalVersionEdit, ctl::kEditUpdate));
    EXPECT_EQ(view.GetPanelText(ctl::kLocalVersionEdit), "41");

#ifdef ORV_SCREENSHOT_DIR
    view.AddProcessLogLine("サーバーへの接続に成功しました\r\n");
    view.SetStatusLine("ステータス");
    SaveScreenshot(main, std::filesystem::path(ORV_SCREENSHOT_DIR) /
                             "win32_main_window_with_options.bmp");
#endif
    view.HideOptionPanel();
    EXPECT_EQ(view.OptionPanel(), nullptr);
    EXPECT_EQ(WidthOf(main), narrow);
    EXPECT_EQ(panelHandler.destroyed.load(), 1);
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(handler.destroyed.load(), 1);
}

TEST(Win32ViewTest, LogLinesFromAWorkerHoldingTheLockNeverWaitForTheWindowThread)
{
  win32::Win32View view(GetModuleHandleA(nullptr));
  ScriptedHandler handler;
  // The launcher's shared lock: the window thread takes it to log from its
  // timer while a worker logs under it.
  std::recursive_mutex lock;
  std::atomic<int> ticks{0};
  handler.onTimer = [&](int timerId) {
    EXPECT_EQ(timerId, ctl::kUpdateTimer);
    std::lock_guard<std::recursive_mutex> hold(lock);
    view.AddProcessLogLine("tick\r\n");
    ++ticks;
  };
  constexpr int kLines = 300;
  std::thread worker;
  handler.m_onInit = [&] {
    worker = std::thread([&] {
      view.StartTimer(ctl::kUpdateTimer, 10);  // set on the window thread for the worker
      EXPECT_TRUE(WaitFor([&] { return ticks > 0; })) << "the timer never fired";
      for (int line = 0; line < kLines; ++line) {
        std::lock_guard<std::recursive_mutex> hold(lock);
        view.AddProcessLogLine("line " + std::to_string(line) + "\r\n");
        view.SetStatusLine("status " + std::to_string(line));
        if (line % 50 == 0)
          Sleep(20);  // the timer's ticks contend for the lock meanwhile
      }
      view.StopTimer(ctl::kUpdateTimer);
      EXPECT_TRUE(WaitFor([&] { return view.GetControlText(ctl::kStatusLine) == "status 299"; }));
      // Newest first; the worker's lines in their order.
      const auto items = ListItems(static_cast<HWND>(view.ControlHandle(ctl::kProcessLog)));
      std::vector<std::string> workerLines;
      for (auto item = items.rbegin(); item != items.rend(); ++item)
        if (*item != "tick\r\n")
          workerLines.push_back(*item);
      ASSERT_EQ(workerLines.size(), static_cast<size_t>(kLines));
      for (int line = 0; line < kLines; ++line)
        EXPECT_EQ(workerLines[line], "line " + std::to_string(line) + "\r\n");
      // A quit from a worker ends the modal loop with its code.
      view.PostQuit(7);
    });
  };
  EXPECT_EQ(view.RunModalDialog(ctl::kMainDialogTemplate, handler), 7);
  worker.join();
  EXPECT_EQ(handler.destroyed.load(), 1);
  // The quit message is not left behind to close the next box at once.
  MSG quit;
  EXPECT_FALSE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
  EXPECT_EQ(view.MainWindow(), nullptr);
  EXPECT_EQ(view.RunModalDialog(4711, handler), -1);
  EXPECT_FALSE(view.LastErrorText().empty());
}

TEST(Win32ViewTest, EscapeAndCloseActOnlyWhileExitIsEnabled)
{
  win32::Win32View view(GetModuleHandleA(nullptr));
  ScriptedHandler handler;
  RunWithScript(view, handler, [&] {
    const HWND main = view.MainWindow();
    view.EnableControl(ctl::kExitButton, false);
    SendMessageA(main, WM_CLOSE, 0, 0);
    SendMessageA(main, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);  // what Esc sends
    // A sent message behind them has been handled once they have.
    SendMessageA(main, WM_NULL, 0, 0);
    Sleep(100);
    SendMessageA(main, WM_NULL, 0, 0);
    EXPECT_FALSE(handler.Received(ctl::kExitButton, ctl::kClicked));
    view.EnableControl(ctl::kExitButton, true);
    SendMessageA(main, WM_CLOSE, 0, 0);
    EXPECT_TRUE(WaitFor([&] { return handler.Received(ctl::kExitButton, ctl::kClicked); }));
  });
}

TEST(Win32ViewTest, AWorkersMessageBoxIsOwnedByTheWindowAndHoldsTheWorkerUntilClosed)
{
  win32::Win32View view(GetModuleHandleA(nullptr));
  ScriptedHandler handler;
  RunWithScript(view, handler, [&] {
    std::atomic<bool> returned{false};
    std::thread worker([&] {
      view.ShowMessageBox("Error", "ダウンロードサイズエラー", MessageStyle::Error);
      returned = true;
    });
    HWND box = nullptr;
    EXPECT_TRUE(WaitFor([&] { return (box = FindOwnDialog("Error")) != nullptr; }));
    if (box) {
      EXPECT_EQ(GetWindow(box, GW_OWNER), view.MainWindow());
      // Its owner is disabled while it is up, as for any modal box.
      EXPECT_FALSE(IsWindowEnabled(view.MainWindow()));
      char text[128] = {};
      GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // the box's static text
      EXPECT_STREQ(text, "ダウンロードサイズエラー");
      Sleep(100);
      EXPECT_FALSE(returned.load());
      PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    EXPECT_TRUE(WaitFor([&] { return returned.load(); }));
    worker.join();
    EXPECT_TRUE(IsWindowEnabled(view.MainWindow()));
  });
}

TEST(Win32ViewTest, TheFolderChooserAsksAboutEverySelectionAndEnablesOkByTheAnswer)
{
  win32::Win32View view(GetModuleHandleA(nullptr));
  // The chooser finds a selection by comparing each folder on the way with
  // what it listed of it, access time included, and the first read of a
  // folder that has changed moves its access time. So the folders are not in
  // the temporary folder, which other tests change all the time, and each is
  // read now (twice, in case the first read fell in the tick of the change)
  // so that nothing moves while the chooser walks.
  TempDir folders(std::filesystem::temp_directory_path().root_path());
  const std::filesystem::path game = folders.path() / "game";
  std::filesystem::create_directories(game);
  std::filesystem::create_directories(folders.path() / "empty");
  WriteFile(game / "orv.exe", "MZ");
  for (int pass = 0; pass < 2; ++pass) {
    for (const auto& folder : {folders.path(), game, folders.path() / "empty"})
      for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) {
      }
    Sleep(20);
  }

  std::mutex mutex;
  std::vector<std::string> asked;
  const auto acceptsGame = [&](const char* path) {
    std::lock_guard<std::mutex> hold(mutex);
    asked.push_back(path ? path : "(no path)");
    return path && std::filesystem::exists(std::filesystem::path(path) / "orv.exe");
  };
  // The user's side, while the chooser runs on this thread.
  std::thread user([&] {
    HWND chooser = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (chooser = FindOwnDialog(nullptr)) != nullptr; }));
    const auto select = [&](const std::filesystem::path& folder) {
      const std::string path = folder.string();
      SendMessageA(chooser, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>(path.c_str()));
      return WaitFor([&] {
        std::lock_guard<std::mutex> hold(mutex);
        return !asked.empty() && asked.back() == path;
      });
    };
    // The answer reaches the OK button just after the question.
    const auto okEnabled = [&](bool enabled) {
      return WaitFor([&] { return (IsWindowEnabled(GetDlgItem(chooser, IDOK)) != FALSE) == enabled; });
    };
    // Wine's chooser sets its OK button by its own rule right after asking,
    // so there the button shows nothing of the answer.
    const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    if (wine)
      std::printf("under wine the OK button's state is not checked: wine's folder chooser "
                  "sets it itself after the selection callback\n");
    EXPECT_TRUE(select(folders.path() / "empty"));
    EXPECT_TRUE(wine || okEnabled(false));
    EXPECT_TRUE(select(game));
    EXPECT_TRUE(wine || okEnabled(true));
    PostMessageA(chooser, WM_COMMAND, IDOK, 0);
  });
  EXPECT_TRUE(view.ChooseFolder("ORVフォルダの指定", acceptsGame));
  user.join();
  std::lock_guard<std::mutex> hold(mutex);
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(asked.back(), game.string());
}

// --- The launcher's own main window ---

class Win32WindowTest : public ::testing::Test {
 protected:
  Win32WindowTest()
  {
    m_server.ServeFolder(m_root.path());
    m_deployment.patchHost = m_deployment.infoHost = "127.0.0.1";
    m_deployment.patchPort = m_deployment.infoPort = m_server.port();
    Put(m_root.path() / "orv" / "orvnew.ver", "42\r\n");
    Put(m_root.path() / "client" / "info.txt", "お知らせ\r\n二行目");
    WriteStep(m_root.path(), {42, {{"step.cab", {{"readme.txt", "42"}}}}, {"readme.txt"}});
    Put(m_game / "orv.exe", "MZ");
    Put(m_game / "orv.ver", "41\r\n");
  }

  static void Put(const std::filesystem::path& file, const std::string& content)
  {
    std::filesystem::create_directories(file.parent_path());
    WriteFile(file, content);
  }

  // The user's side: works the window from a thread of its own.
  void UseTheWindow(Launcher& launcher);

  HWND Control(int id) { return static_cast<HWND>(m_view.ControlHandle(id)); }
  // A click as the user's: the button's command reaches the dialog through
  // its queue.
  void Click(int id)
  {
    PostMessageA(m_view.MainWindow(), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(Control(id)));
  }

  TempDir m_root;
  LoopbackServer m_server;
  TempDir m_start;
  ScopedCurrentDirectory m_inStart{m_start.path()};
  std::filesystem::path m_game = m_start.path() / "game";
  TestPlatform m_backends;
  Deployment m_deployment;
  win32::Win32View m_view{GetModuleHandleA(nullptr)};
};

TEST_F(Win32WindowTest, AUserTypesAnIdAndUpdatesTheGameThroughTheDialog)
{
  WriteFile(m_start.path() / "OLConfig.ini",
            "[Conf]\r\nOrvDir=" + m_game.string() + "\r\nLastGID=0\r\nLastAID=0\r\n" +
                "[AccountData0]\r\nKivoraID=alice\r\nKivoraPass=pa\r\nAttraction0=orv1\r\n");
  Launcher launcher(m_backends.With(m_view), m_deployment);
  std::thread user([&] { UseTheWindow(launcher); });
  EXPECT_EQ(launcher.Run(), 1);
  user.join();
  // The renamed account was saved as the window went.
  EXPECT_NE(ReadFile(m_start.path() / "OLConfig.ini").find("KivoraID=alice2x"), std::string::npos);
}

void Win32WindowTest::UseTheWindow(Launcher& launcher)
{
  // Whatever the steps found, the window must end for the test to end.
  struct EndWindow {
    win32::Win32View& view;
    ~EndWindow()
    {
      if (!WaitFor([&] { return !view.MainWindow(); }, 10000)) {
        ADD_FAILURE() << "the window did not end";
        view.DestroyMainWindow();
      }
    }
  } endWindow{m_view};
  {
    ASSERT_TRUE(WaitFor([&] {
      return m_view.MainWindow() && IsWindowEnabled(Control(ctl::kMainButton));
    })) << "the connect sequence never ended";
    EXPECT_EQ(TextOf(m_view.MainWindow()), "OrvLauncher Ver.0.3.3 Rev.4");
    EXPECT_EQ(TextOf(Control(ctl::kMainButton)), "Update");
    EXPECT_EQ(TextOf(Control(ctl::kInformation)), "お知らせ\r\n二行目");
    EXPECT_EQ(TextOf(Control(ctl::kKivoraIdCombo)), "alice");
    EXPECT_EQ(TextOf(Control(ctl::kPasswordEdit)), "pa");

    // Typing into the combo box's edit field renames the account in place.
    COMBOBOXINFO combo = {};
    combo.cbSize = sizeof combo;
    ASSERT_TRUE(GetComboBoxInfo(Control(ctl::kKivoraIdCombo), &combo));
    SendMessageA(combo.hwndItem, WM_KEYDOWN, VK_END, 0);
    for (const char typed : std::string("2x"))
      SendMessageA(combo.hwndItem, WM_CHAR, static_cast<WPARAM>(typed), 0);
    EXPECT_TRUE(WaitFor([&] { return launcher.Global()->accounts[0].kivoraId == "alice2x"; }));
    EXPECT_EQ(TextOf(Control(ctl::kKivoraIdCombo)), "alice2x");

    // The main button updates the game; the window follows the patch thread.
    Click(ctl::kMainButton);
    EXPECT_TRUE(WaitFor([&] { return TextOf(Control(ctl::kMainButton)) == "Login"; }))
        << "the update did not end in Login";
    EXPECT_EQ(ReadFile(m_game / "orv.ver"), "42\r\n");
    EXPECT_EQ(ReadFile(m_game / "readme.txt"), "42");
    // Log lines are posted, so they may arrive just after the caption.
    EXPECT_TRUE(WaitFor([&] {
      const auto log = ListItems(Control(ctl::kProcessLog));
      return std::find(log.begin(), log.end(), "アップデートに成功しました Ver.42\r\n") != log.end();
    }));

    EXPECT_TRUE(WaitFor([&] { return IsWindowEnabled(Control(ctl::kExitButton)) != FALSE; }));
    Click(ctl::kExitButton);
  }
}

TEST_F(Win32WindowTest, EnterRightAfterAFailedLoginDoesNotHangTheWindow)
{
  // Both of the publisher's sites refuse the connection: a sign-in fails at
  // once.
  Put(m_root.path() / "orv" / "orvnew.ver", "41\r\n");
  m_deployment.portalHost = m_deployment.memberHost = "127.0.0.1";
  m_deployment.portalPort = m_deployment.memberPort = 1;
  WriteFile(m_start.path() / "OLConfig.ini",
            "[Conf]\r\nOrvDir=" + m_game.string() + "\r\nLastGID=0\r\n" +
                "[AccountData0]\r\nKivoraID=alice\r\nKivoraPass=pa\r\nAttraction0=orv1\r\n");
  Launcher launcher(m_backends.With(m_view), m_deployment);
  std::thread user([&] {
    struct EndWindow {
      win32::Win32View& view;
      ~EndWindow()
      {
        if (WaitFor([&] { return !view.MainWindow(); }, 10000))
          return;
        ADD_FAILURE() << "the window did not end";
        // A hung window would hold the test program for ever.
        DWORD_PTR answer = 0;
        if (!SendMessageTimeoutA(view.MainWindow(), WM_NULL, 0, 0, SMTO_NORMAL, 5000, &answer)) {
          std::fprintf(stderr, "the window hangs: the test program ends here\n");
          std::fflush(stderr);
          TerminateProcess(GetCurrentProcess(), 1);
        }
        view.DestroyMainWindow();
      }
    } endWindow{m_view};
    ASSERT_TRUE(WaitFor([&] {
      return m_view.MainWindow() && IsWindowEnabled(Control(ctl::kMainButton));
    })) << "the connect sequence never ended";
    const HWND main = Control(ctl::kMainButton);
    ASSERT_EQ(TextOf(main), "Login");
    const auto signIns = [&] {
      const auto log = ListItems(Control(ctl::kProcessLog));
      return std::count(log.begin(), log.end(), "サーバーログイン\r\n");
    };
    // The login thread enables the main button before the other three,
    // each a message its thread sends to the window's: Enter at once falls
    // between them. The button's state is watched without a message to the
    // window.
    const auto spinUntil = [&](bool enabled) {
      const ULONGLONG end = GetTickCount64() + 20000;
      while ((IsWindowEnabled(main) != FALSE) != enabled && GetTickCount64() < end) {
      }
      return (IsWindowEnabled(main) != FALSE) == enabled;
    };
    Click(ctl::kMainButton);
    ASSERT_TRUE(spinUntil(false));
    ASSERT_TRUE(spinUntil(true)) << "the first sign-in never ended";
    // Pressed as a sent command, which returns once the window has handled
    // it.
    DWORD_PTR answer = 0;
    ASSERT_NE(SendMessageTimeoutA(m_view.MainWindow(), WM_COMMAND,
                                  MAKEWPARAM(ctl::kMainButton, BN_CLICKED),
                                  reinterpret_cast<LPARAM>(main), SMTO_NORMAL, 10000, &answer),
              0)
        << "the window hung on the second press";
    EXPECT_TRUE(WaitFor([&] { return signIns() == 2 && IsWindowEnabled(main); }));
    EXPECT_TRUE(WaitFor([&] { return IsWindowEnabled(Control(ctl::kExitButton)) != FALSE; }));
    Click(ctl::kExitButton);
  });
  EXPECT_EQ(launcher.Run(), 1);
  user.join();
}

}  // namespace
}  // namespace orv::test
