#include "frontend/win32/Win32View.h"

#include <commctrl.h>
#include <shlobj.h>

#include <utility>

#include "platform/ControlIds.h"

namespace orv::win32 {

namespace {

// Messages of the main window's own: the queued log lines are waiting, a call
// is to run on the window thread (lParam points at it), the modal loop is to
// end with the code in wParam.
constexpr UINT kMovePendingLines = WM_APP + 1;
constexpr UINT kRunCall = WM_APP + 2;
constexpr UINT kQuit = WM_APP + 3;

// The system's text for an error number, in the user's default language.
std::string SystemErrorText(DWORD error)
{
  char* buffer = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&buffer),
      0, nullptr);
  std::string text = length ? std::string(buffer, length) : std::string();
  LocalFree(buffer);
  if (text.empty())
    text = "Error " + std::to_string(error);
  return text;
}

int CALLBACK FolderChooserEvent(HWND chooser, UINT event, LPARAM item, LPARAM data)
{
  const auto& onSelection = *reinterpret_cast<const std::function<bool(const char*)>*>(data);
  if (event == BFFM_INITIALIZED) {
    RECT client;
    GetClientRect(chooser, &client);
    SetWindowPos(chooser, nullptr, (GetSystemMetrics(SM_CXSCREEN) - client.right) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - client.bottom) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_SHOWWINDOW);
  } else if (event == BFFM_SELCHANGED) {
    char path[MAX_PATH] = {};
    const bool hasPath = SHGetPathFromIDListA(reinterpret_cast<PCIDLIST_ABSOLUTE>(item), path);
    const bool acceptable = onSelection(hasPath ? path : nullptr);
    SendMessageA(chooser, BFFM_ENABLEOK, 0, acceptable ? TRUE : FALSE);
  }
  return 0;
}

}  // namespace

Win32View::Win32View(HINSTANCE resources) : m_resources(resources)
{
  // The progress bar and the list view are common controls: their window
  // classes exist once registered.
  INITCOMMONCONTROLSEX classes = {sizeof classes,
                                  ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&classes);
}

Win32View::~Win32View() = default;

// --- Threads ---

bool Win32View::IsWindowThread() const
{
  return GetCurrentThreadId() == m_windowThread.load();
}

void Win32View::OnWindowThread(const std::function<void()>& call)
{
  const HWND main = m_main.load();
  if (!main || IsWindowThread()) {
    call();
    return;
  }
  // The window thread runs it when it next looks at its messages; a window
  // that is gone meanwhile has nothing left to do it to.
  SendMessageA(main, kRunCall, 0, reinterpret_cast<LPARAM>(&call));
}

void Win32View::Queue(PendingLine line)
{
  bool first;
  {
    std::lock_guard<std::mutex> hold(m_pendingMutex);
    first = m_pending.empty();
    m_pending.push_back(std::move(line));
  }
  if (IsWindowThread()) {
    MovePendingLines();
    return;
  }
  // One message carries every line queued before the window thread gets to
  // it; lines queued before the window exists wait for its creation.
  const HWND main = m_main.load();
  if (first && main)
    PostMessageA(main, kMovePendingLines, 0, 0);
}

void Win32View::MovePendingLines()
{
  std::deque<PendingLine> lines;
  {
    std::lock_guard<std::mutex> hold(m_pendingMutex);
    lines.swap(m_pending);
  }
  const HWND main = m_main.load();
  if (!main)
    return;
  for (const PendingLine& line : lines) {
    if (line.processLog)
      SendDlgItemMessageA(main, ctl::kProcessLog, LB_INSERTSTRING, 0,
                          reinterpret_cast<LPARAM>(line.text.c_str()));
    else
      SetDlgItemTextA(main, ctl::kStatusLine, line.text.c_str());
  }
}

void Win32View::AddProcessLogLine(std::string item)
{
  Queue({true, std::move(item)});
}

void Win32View::SetStatusLine(std::string text)
{
  Queue({false, std::move(text)});
}

bool Win32View::DispatchPendingEvent()
{
  MSG message;
  if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    // Waiting for the next message rather than spinning; messages sent by
    // workers are answered inside this wait.
    MsgWaitForMultipleObjectsEx(0, nullptr, 1, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    return false;
  }
  if (message.message == WM_QUIT) {
    // The modal loop ends on it once the wait is over.
    PostQuitMessage(static_cast<int>(message.wParam));
    Sleep(1);
    return false;
  }
  const HWND main = m_main.load();
  if (!main || !IsDialogMessageA(main, &message)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return true;
}

// --- Message boxes and the folder chooser ---

void Win32View::ShowMessageBox(const char* caption, const char* text, MessageStyle style)
{
  MessageBoxA(m_main.load(), text, caption,
              MB_OK | (style == MessageStyle::Error ? MB_ICONERROR : 0));
}

bool Win32View::ChooseFolder(const char* title,
                             const std::function<bool(const char* path)>& onSelection)
{
  char displayName[MAX_PATH] = {};
  BROWSEINFOA browse = {};
  browse.hwndOwner = nullptr;
  browse.pidlRoot = nullptr;  // the desktop
  browse.pszDisplayName = displayName;
  browse.lpszTitle = title;
  browse.ulFlags = BIF_RETURNONLYFSDIRS;
  browse.lpfn = FolderChooserEvent;
  browse.lParam = reinterpret_cast<LPARAM>(&onSelection);
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderA(&browse);
  if (!chosen)
    return false;
  CoTaskMemFree(chosen);
  return true;
}

// --- The main window ---

INT_PTR CALLBACK Win32View::MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
  if (message == WM_INITDIALOG)
    SetWindowLongPtrA(window, DWLP_USER, lParam);
  auto* view = reinterpret_cast<Win32View*>(GetWindowLongPtrA(window, DWLP_USER));
  return view ? view->OnMainMessage(window, message, wParam, lParam) : FALSE;
}

int Win32View::RunModalDialog(int templateId, DialogHandler& handler)
{
  if (m_main.load()) {
    m_lastError = SystemErrorText(ERROR_ALREADY_EXISTS);
    return -1;
  }
  m_mainHandler = &handler;
  m_windowThread = GetCurrentThreadId();
  INT_PTR result = DialogBoxParamA(m_resources, MAKEINTRESOURCEA(templateId), m_main.load(),
                                         MainProc, reinterpret_cast<LPARAM>(this));
  if (result == -1)
    RememberLastError();
  // The dialog's loop leaves the quit message that ended it in the queue for
  // an outer loop; there is none, and left there it would close every
  // message box and dialog the thread shows afterwards at once.
  MSG quit;
  if (PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) && result != -1)
    result = static_cast<INT_PTR>(quit.wParam);
  m_main = nullptr;
  m_mainHandler = nullptr;
  std::lock_guard<std::mutex> hold(m_pendingMutex);
  m_pending.clear();
  return static_cast<int>(result);
}

INT_PTR Win32View::OnMainMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
  switch (message) {
    case WM_INITDIALOG:
      m_main = window;
      // The taskbar and the task switcher show the program's icon.
      if (const HICON icon = LoadIconA(m_resources, MAKEINTRESOURCEA(1))) {
        SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
        SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
      }
      SendDlgItemMessageA(window, ctl::kPasswordEdit, EM_SETPASSWORDCHAR, '*', 0);
      MovePendingLines();
      m_mainHandler->OnInitDialog();
      return FALSE;
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      // Esc, Enter and the window's close request arrive as the cancel and
      // default buttons' commands; they act only while the button could be
      // pressed, as a click could.
      if ((id == IDCANCEL || id == IDOK) && !IsWindowEnabled(GetDlgItem(window, id)))
        return FALSE;
      m_mainHandler->OnCommand(id, HIWORD(wParam));
      return FALSE;
    }
    case WM_TIMER:
      m_mainHandler->OnTimer(static_cast<int>(wParam));
      return FALSE;
    case WM_DESTROY:
      m_mainHandler->OnDestroy();
      return FALSE;
    case kMovePendingLines:
      MovePendingLines();
      return TRUE;
    case kRunCall:
      (*reinterpret_cast<const std::function<void()>*>(lParam))();
      return TRUE;
    case kQuit:
      PostQuitMessage(static_cast<int>(wParam));
      return TRUE;
    default:
      return FALSE;
  }
}

std::string Win32View::LastErrorText()
{
  return m_lastError;
}

void Win32View::RememberLastError()
{
  m_lastError = SystemErrorText(GetLastError());
}

std::string Win32View::WindowText(HWND control)
{
  if (!control)
    return {};
  const int length = GetWindowTextLengthA(control);
  if (length <= 0)
    return {};
  std::string text(static_cast<size_t>(length) + 1, '\0');
  const int copied = GetWindowTextA(control, text.data(), length + 1);
  text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
  return text;
}

void Win32View::SetControlText(int controlId, const char* text)
{
  SetDlgItemTextA(m_main.load(), controlId, text);
}

std::string Win32View::GetControlText(int controlId)
{
  return WindowText(GetDlgItem(m_main.load(), controlId));
}

void Win32View::EnableControl(int controlId, bool enabled)
{
  EnableWindow(GetDlgItem(m_main.load(), controlId), enabled ? TRUE : FALSE);
}

bool Win32View::IsControlEnabled(int controlId)
{
  const HWND control = GetDlgItem(m_main.load(), controlId);
  return control && IsWindowEnabled(control);
}

void* Win32View::ControlHandle(int controlId)
{
  const HWND main = m_main.load();
  if (controlId == kMainWindowHandle || !main)
    return main;
  return GetDlgItem(main, controlId);
}

void Win32View::SetWindowTitle(const char* title)
{
  SetWindowTextA(m_main.load(), title);
}

void Win32View::CenterMainWindow()
{
  const HWND main = m_main.load();
  if (!main)
    return;
  // Centred on the client area a full-screen window would have.
  RECT client;
  GetClientRect(main, &client);
  SetWindowPos(main, nullptr, (GetSystemMetrics(SM_CXFULLSCREEN) - client.right) / 2,
               (GetSystemMetrics(SM_CYFULLSCREEN) - client.bottom) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_SHOWWINDOW);
}

void Win32View::ShowMainWindowNormal()
{
  ShowWindow(m_main.load(), SW_SHOWNORMAL);
}

void Win32View::PostQuit(int exitCode)
{
  const HWND main = m_main.load();
  if (IsWindowThread() || !main)
    PostQuitMessage(exitCode);
  else
    PostMessageA(main, kQuit, static_cast<WPARAM>(exitCode), 0);
}

void Win32View::DestroyMainWindow()
{
  OnWindowThread([this] {
    if (const HWND main = m_main.load())
      DestroyWindow(main);
  });
}

// --- The combo boxes ---

void Win32View::ResetCombo(int controlId)
{
  SendDlgItemMessageA(m_main.load(), controlId, CB_RESETCONTENT, 0, 0);
}

int Win32View::AddComboItem(int controlId, const char* text)
{
  return static_cast<int>(SendDlgItemMessageA(m_main.load(), controlId, CB_ADDSTRING, 0,
                                              reinterpret_cast<LPARAM>(text)));
}

void Win32View::InsertComboItem(int controlId, int index, const char* text)
{
  SendDlgItemMessageA(m_main.load(), controlId, CB_INSERTSTRING, static_cast<WPARAM>(index),
                      reinterpret_cast<LPARAM>(text));
}

void Win32View::DeleteComboItem(int controlId, int index)
{
  SendDlgItemMessageA(m_main.load(), controlId, CB_DELETESTRING, static_cast<WPARAM>(index), 0);
}

bool Win32View::SelectComboItem(int controlId, int index)
{
  return SendDlgItemMessageA(m_main.load(), controlId, CB_SETCURSEL, static_cast<WPARAM>(index),
                             0) != CB_ERR;
}

int Win32View::ComboSelection(int controlId)
{
  return static_cast<int>(SendDlgItemMessageA(m_main.load(), controlId, CB_GETCURSEL, 0, 0));
}

// --- The options panel ---

INT_PTR CALLBACK Win32View::PanelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
  if (message == WM_INITDIALOG)
    SetWindowLongPtrA(window, DWLP_USER, lParam);
  auto* view = reinterpret_cast<Win32View*>(GetWindowLongPtrA(window, DWLP_USER));
  return view ? view->OnPanelMessage(window, message, wParam, lParam) : FALSE;
}

bool Win32View::ShowOptionPanel(DialogHandler& handler)
{
  bool shown = false;
  OnWindowThread([this, &handler, &shown] {
    const HWND main = m_main.load();
    if (m_panel.load()) {
      m_lastError = SystemErrorText(ERROR_ALREADY_EXISTS);
      return;
    }
    m_panelHandler = &handler;
    const HWND panel = CreateDialogParamA(m_resources, MAKEINTRESOURCEA(ctl::kOptionDialogTemplate),
                                          main, PanelProc, reinterpret_cast<LPARAM>(this));
    if (!panel) {
      RememberLastError();
      m_panelHandler = nullptr;
      return;
    }
    // The main window grows by the panel's width; its left and top edges
    // and its height stay.
    RECT area;
    GetWindowRect(panel, &area);
    m_panelWidth = area.right - area.left;
    GetWindowRect(main, &area);
    SetWindowPos(main, nullptr, 0, 0, area.right - area.left + m_panelWidth,
                 area.bottom - area.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    shown = true;
  });
  return shown;
}

void Win32View::HideOptionPanel()
{
  OnWindowThread([this] { ClosePanel(); });
}

void Win32View::ClosePanel()
{
  const HWND panel = m_panel.load();
  if (!panel)
    return;
  const HWND main = m_main.load();
  RECT area;
  GetWindowRect(main, &area);
  SetWindowPos(main, nullptr, 0, 0, area.right - area.left - m_panelWidth, area.bottom - area.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  DestroyWindow(panel);
}

void Win32View::PlacePanel()
{
  // Beside the main window's controls: at the main window's outer width, at
  // the top of its client area; the panel keeps its own size.
  RECT area;
  GetWindowRect(m_main.load(), &area);
  SetWindowPos(m_panel.load(), nullptr, area.right - area.left, 0, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR Win32View::OnPanelMessage(HWND window, UINT message, WPARAM wParam, LPARAM)
{
  switch (message) {
    case WM_INITDIALOG:
      m_panel = window;
      PlacePanel();
      SendDlgItemMessageA(window, ctl::kPluginList, LVM_SETEXTENDEDLISTVIEWSTYLE,
                          LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT,
                          LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
      m_panelHandler->OnInitDialog();
      ShowWindow(window, SW_SHOW);
      return FALSE;
    case WM_COMMAND:
      m_panelHandler->OnCommand(LOWORD(wParam), HIWORD(wParam));
      return FALSE;
    case WM_DESTROY:
      m_panelHandler->OnDestroy();
      return FALSE;
    case WM_NCDESTROY:
      m_panel = nullptr;
      m_panelHandler = nullptr;
      return FALSE;
    default:
      return FALSE;
  }
}

void Win32View::SetPanelText(int controlId, const char* text)
{
  SetDlgItemTextA(m_panel.load(), controlId, text);
}

std::string Win32View::GetPanelText(int controlId)
{
  return WindowText(GetDlgItem(m_panel.load(), controlId));
}

void Win32View::SetPanelCheck(int controlId, bool checked)
{
  CheckDlgButton(m_panel.load(), controlId, checked ? BST_CHECKED : BST_UNCHECKED);
}

bool Win32View::PanelChecked(int controlId)
{
  return IsDlgButtonChecked(m_panel.load(), controlId) == BST_CHECKED;
}

void Win32View::AddListColumn(int controlId, const char* title, int width)
{
  const HWND list = GetDlgItem(m_panel.load(), controlId);
  LVCOLUMNA column = {};
  column.mask = LVCF_FMT | LVCF_TEXT | LVCF_WIDTH;
  column.fmt = LVCFMT_LEFT;
  column.cx = width;
  column.pszText = const_cast<char*>(title);
  const auto count = SendMessageA(ListView_GetHeader(list), HDM_GETITEMCOUNT, 0, 0);
  SendMessageA(list, LVM_INSERTCOLUMNA, static_cast<WPARAM>(count < 0 ? 0 : count),
               reinterpret_cast<LPARAM>(&column));
}

void Win32View::AddListRow(int controlId, const std::vector<std::string>& cells)
{
  const HWND list = GetDlgItem(m_panel.load(), controlId);
  if (!list || cells.empty())
    return;
  LVITEMA item = {};
  item.mask = LVIF_TEXT;
  item.iItem = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  item.pszText = const_cast<char*>(cells[0].c_str());
  const auto row = SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
  if (row < 0)
    return;
  for (size_t cell = 1; cell < cells.size(); ++cell) {
    LVITEMA sub = {};
    sub.iSubItem = static_cast<int>(cell);
    sub.pszText = const_cast<char*>(cells[cell].c_str());
    SendMessageA(list, LVM_SETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&sub));
  }
}

int Win32View::ListRowCount(int controlId)
{
  return static_cast<int>(
      SendDlgItemMessageA(m_panel.load(), controlId, LVM_GETITEMCOUNT, 0, 0));
}

int Win32View::ListSelectedRow(int controlId)
{
  if (!m_panel.load())
    return -1;
  return static_cast<int>(SendDlgItemMessageA(m_panel.load(), controlId, LVM_GETNEXTITEM,
                                              static_cast<WPARAM>(-1), LVNI_SELECTED));
}

// --- The progress bar and the timer ---

void Win32View::SetProgressRange(int low, int high)
{
  // The 32-bit form: a rebuild counts records, which may be more than the
  // 16 bits of the older message hold.
  SendDlgItemMessageA(m_main.load(), ctl::kProgressBar, PBM_SETRANGE32, static_cast<WPARAM>(low),
                      high);
}

void Win32View::SetProgressStep(int step)
{
  SendDlgItemMessageA(m_main.load(), ctl::kProgressBar, PBM_SETSTEP, static_cast<WPARAM>(step), 0);
}

void Win32View::SetProgressPosition(int position)
{
  SendDlgItemMessageA(m_main.load(), ctl::kProgressBar, PBM_SETPOS, static_cast<WPARAM>(position),
                      0);
}

void Win32View::StepProgress()
{
  SendDlgItemMessageA(m_main.load(), ctl::kProgressBar, PBM_STEPIT, 0, 0);
}

void Win32View::StartTimer(int timerId, unsigned milliseconds)
{
  // A timer belongs to its window's thread, so it is set there.
  OnWindowThread([this, timerId, milliseconds] {
    SetTimer(m_main.load(), static_cast<UINT_PTR>(timerId), milliseconds, nullptr);
  });
}

void Win32View::StopTimer(int timerId)
{
  OnWindowThread([this, timerId] { KillTimer(m_main.load(), static_cast<UINT_PTR>(timerId)); });
}

}  // namespace orv::win32
