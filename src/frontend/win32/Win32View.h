#pragma once

#include <windows.h>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/View.h"

namespace orv::win32 {

// The launcher's windows on USER32 and the common controls: the main window
// runs as a modal dialog from template 101 of the module's resources, the
// options panel is a modeless child dialog from template 102.
//
// The window thread is the thread that runs the main window. Workers call the
// control operations directly, as the system allows: a control's messages
// are sent to the window thread, which answers them while it runs its
// message loop or waits in DispatchPendingEvent. Operations the system only
// allows on a window's own thread (timers, creating and destroying windows,
// the quit message) are sent to the window thread. The two log outputs run
// under the shared lock, so they never send: they queue the text and post a
// message, and the window thread moves what is queued into the controls.
class Win32View final : public View {
 public:
  // resources: the module holding the dialog templates (the program itself).
  explicit Win32View(HINSTANCE resources);
  ~Win32View() override;

  Win32View(const Win32View&) = delete;
  Win32View& operator=(const Win32View&) = delete;

  void ShowMessageBox(const char* caption, const char* text, MessageStyle style) override;
  bool ChooseFolder(const char* title,
                    const std::function<bool(const char* path)>& onSelection) override;
  int RunModalDialog(int templateId, DialogHandler& handler) override;
  std::string LastErrorText() override;

  void AddProcessLogLine(std::string item) override;
  void SetStatusLine(std::string text) override;

  void SetControlText(int controlId, const char* text) override;
  std::string GetControlText(int controlId) override;
  void EnableControl(int controlId, bool enabled) override;
  bool IsControlEnabled(int controlId) override;
  void* ControlHandle(int controlId) override;

  void SetWindowTitle(const char* title) override;
  void CenterMainWindow() override;
  void ShowMainWindowNormal() override;
  void PostQuit(int exitCode) override;
  void DestroyMainWindow() override;

  void ResetCombo(int controlId) override;
  int AddComboItem(int controlId, const char* text) override;
  void InsertComboItem(int controlId, int index, const char* text) override;
  void DeleteComboItem(int controlId, int index) override;
  bool SelectComboItem(int controlId, int index) override;
  int ComboSelection(int controlId) override;

  bool ShowOptionPanel(DialogHandler& handler) override;
  void HideOptionPanel() override;

  void SetPanelText(int controlId, const char* text) override;
  std::string GetPanelText(int controlId) override;
  void SetPanelCheck(int controlId, bool checked) override;
  bool PanelChecked(int controlId) override;
  void AddListColumn(int controlId, const char* title, int width) override;
  void AddListRow(int controlId, const std::vector<std::string>& cells) override;
  int ListRowCount(int controlId) override;
  int ListSelectedRow(int controlId) override;

  void SetProgressRange(int low, int high) override;
  void SetProgressStep(int step) override;
  void SetProgressPosition(int position) override;
  void StepProgress() override;

  void StartTimer(int timerId, unsigned milliseconds) override;
  void StopTimer(int timerId) override;

  bool DispatchPendingEvent() override;

  // The main window while it runs, and its options panel while shown.
  HWND MainWindow() const { return m_main.load(); }
  HWND OptionPanel() const { return m_panel.load(); }

 private:
  struct PendingLine {
    bool processLog;  // else the status line
    std::string text;
  };

  static INT_PTR CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static INT_PTR CALLBACK PanelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMainMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR OnPanelMessage(HWND window, UINT message, WPARAM wParam, LPARAM);

  // Runs call on the window thread and returns when it has run there.
  void OnWindowThread(const std::function<void()>& call);
  bool IsWindowThread() const;

  void Queue(PendingLine line);
  void MovePendingLines();
  void RememberLastError();
  static std::string WindowText(HWND control);

  void PlacePanel();
  void ClosePanel();

  const HINSTANCE m_resources;
  std::string m_lastError;

  std::atomic<HWND> m_main{nullptr};
  std::atomic<DWORD> m_windowThread{0};
  DialogHandler* m_mainHandler = nullptr;

  std::atomic<HWND> m_panel{nullptr};
  DialogHandler* m_panelHandler = nullptr;
  int m_panelWidth = 0;

  std::mutex m_pendingMutex;
  std::deque<PendingLine> m_pending;
};

}  // namespace orv::win32
