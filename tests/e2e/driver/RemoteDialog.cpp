#include "driver/RemoteDialog.h"

#include <algorithm>

namespace orv::e2e {

namespace {

// Long enough for a worker's lock on the window thread to pass, short enough
// that a hung window fails well inside the test's time-out.
constexpr UINT kAnswerMilliseconds = 5000;

// A line of the process log is cut at 1023 bytes. The list box's strings may
// change between asking for a length and asking for the text (every new line
// goes in at the top and shifts the others), and the text of the later line
// is copied whole into the buffer: the buffer must hold the longest line the
// list can hold, whatever length was announced.
constexpr std::size_t kLongestLine = 4096;

std::optional<LRESULT> Ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG | SMTO_BLOCK,
                           kAnswerMilliseconds, &result))
    return std::nullopt;
  return static_cast<LRESULT>(result);
}

}  // namespace

RemoteDialog::RemoteDialog(HWND dialog) : m_dialog(dialog)
{
  GetWindowThreadProcessId(dialog, &m_processId);
}

bool RemoteDialog::Exists() const
{
  return IsWindow(m_dialog) != FALSE;
}

std::optional<std::wstring> RemoteDialog::ControlText(int id) const
{
  HWND control = GetDlgItem(m_dialog, id);
  if (!control)
    return std::nullopt;
  return WindowText(control);
}

std::optional<bool> RemoteDialog::ControlEnabled(int id) const
{
  HWND control = GetDlgItem(m_dialog, id);
  if (!control)
    return std::nullopt;
  return IsWindowEnabled(control) != FALSE;
}

std::optional<std::vector<std::wstring>> RemoteDialog::ListBoxLines(int id) const
{
  HWND list = GetDlgItem(m_dialog, id);
  if (!list)
    return std::nullopt;
  const std::optional<LRESULT> count = Ask(list, LB_GETCOUNT, 0, 0);
  if (!count || *count == LB_ERR)
    return std::nullopt;
  std::vector<std::wstring> lines;
  for (LRESULT index = 0; index < *count; ++index) {
    const std::optional<LRESULT> length = Ask(list, LB_GETTEXTLEN, index, 0);
    if (!length)
      return std::nullopt;
    if (*length == LB_ERR)
      break;  // the list shrank while it was read
    std::vector<wchar_t> text(std::max<std::size_t>(static_cast<std::size_t>(*length), kLongestLine) + 1);
    const std::optional<LRESULT> copied =
        Ask(list, LB_GETTEXT, index, reinterpret_cast<LPARAM>(text.data()));
    if (!copied)
      return std::nullopt;
    if (*copied == LB_ERR)
      break;
    text.back() = L'\0';
    lines.emplace_back(text.data());
  }
  return lines;
}

bool RemoteDialog::PressButton(int id) const
{
  // Posted, as the mouse's clicks are: a press that opens a message box does
  // not return until the box is closed, and the driver has to see the box.
  HWND button = GetDlgItem(m_dialog, id);
  return button && PostMessageW(button, BM_CLICK, 0, 0);
}

bool RemoteDialog::SendCommand(int id) const
{
  HWND button = GetDlgItem(m_dialog, id);
  return button && Ask(m_dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                       reinterpret_cast<LPARAM>(button));
}

std::optional<std::wstring> WindowText(HWND window)
{
  const std::optional<LRESULT> length = Ask(window, WM_GETTEXTLENGTH, 0, 0);
  if (!length || *length < 0)
    return std::nullopt;
  // The text may grow between the two questions (a worker sets the status
  // line whenever it likes): a text that fills the buffer may have been cut,
  // and is asked for again with more room.
  std::size_t room = std::max<std::size_t>(static_cast<std::size_t>(*length) + 1, 256);
  for (;;) {
    std::vector<wchar_t> text(room);
    const std::optional<LRESULT> copied =
        Ask(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    if (!copied || *copied < 0)
      return std::nullopt;
    if (static_cast<std::size_t>(*copied) + 1 < room)
      return std::wstring(text.data(), static_cast<std::size_t>(*copied));
    room *= 2;
  }
}

std::vector<HWND> OtherVisibleWindows(DWORD processId, HWND except)
{
  struct Search {
    DWORD processId;
    HWND except;
    std::vector<HWND> found;
  } search{processId, except, {}};
  EnumWindows(
      [](HWND window, LPARAM context) -> BOOL {
        auto& search = *reinterpret_cast<Search*>(context);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == search.processId && window != search.except && IsWindowVisible(window))
          search.found.push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::vector<std::wstring> ChildTexts(HWND window)
{
  std::vector<HWND> children;
  EnumChildWindows(
      window,
      [](HWND child, LPARAM context) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(context)->push_back(child);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&children));
  std::vector<std::wstring> texts;
  for (HWND child : children) {
    const std::optional<std::wstring> text = WindowText(child);
    if (text && !text->empty())
      texts.push_back(*text);
  }
  return texts;
}

std::string Utf8(const std::wstring& text)
{
  if (text.empty())
    return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(std::max(size, 0)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                      nullptr, nullptr);
  return utf8;
}

}  // namespace orv::e2e
