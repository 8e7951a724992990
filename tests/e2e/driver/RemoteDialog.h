#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace orv::e2e {

// A dialog of another process, read and pressed through window messages the
// system carries between processes. Texts travel as UTF-16: the narrow forms
// of the list-box messages are not translated back across processes (under
// wine they arrive as UTF-16 all the same). Every send has a time-out, so a
// launcher whose window thread hangs fails the test instead of hanging it.
class RemoteDialog {
 public:
  explicit RemoteDialog(HWND dialog);

  HWND handle() const { return m_dialog; }
  DWORD processId() const { return m_processId; }
  bool Exists() const;

  // Empty when the control is missing or its window thread did not answer in
  // time.
  std::optional<std::wstring> ControlText(int id) const;
  std::optional<bool> ControlEnabled(int id) const;
  // The list box's lines in its own order (for the process log: newest first).
  std::optional<std::vector<std::wstring>> ListBoxLines(int id) const;

  // Clicks the button as the mouse would, so that the dialog hears it the way
  // it hears the player. False when the click could not be posted.
  bool PressButton(int id) const;
  // Sends the button's command to the dialog, as Enter sends the default
  // button's, and waits until the dialog has handled it. False when it did
  // not answer in time.
  bool SendCommand(int id) const;

 private:
  HWND m_dialog;
  DWORD m_processId = 0;
};

// The text of any window, whichever process owns it.
std::optional<std::wstring> WindowText(HWND window);

// The visible top-level windows of a process besides one: message boxes the
// launcher shows while it is driven.
std::vector<HWND> OtherVisibleWindows(DWORD processId, HWND except);

// The texts of a window's child controls, in their order.
std::vector<std::wstring> ChildTexts(HWND window);

std::string Utf8(const std::wstring& text);

}  // namespace orv::e2e
