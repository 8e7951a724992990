#pragma once

#include <functional>
#include <string>
#include <vector>

namespace orv {

// The notifications a dialog's handler receives; the main window and the
// options panel implement it, the view calls it on the window thread.
class DialogHandler {
 public:
  virtual ~DialogHandler() = default;
  virtual void OnInitDialog() = 0;
  virtual void OnCommand(int controlId, int notificationCode) = 0;
  virtual void OnTimer(int timerId) = 0;
  virtual void OnDestroy() = 0;
};

enum class MessageStyle { Plain, Error };

// What the launcher's logic needs of its windows. Texts cross this interface
// as Shift_JIS bytes; a view converts them to its toolkit's encoding itself.
// Worker threads call it as well as the window thread; an implementation makes
// each call safe from any thread.
class View {
 public:
  virtual ~View() = default;

  // A message box with one OK button, owned by the main window when it exists.
  // Returns when the user has closed it; it blocks the calling thread, which
  // may be a worker.
  virtual void ShowMessageBox(const char* caption, const char* text, MessageStyle style) = 0;

  // The folder chooser: no owner, the desktop as root, file-system folders only,
  // centred on the screen. onSelection runs for every change of the selection
  // with the folder's path (nullptr when the selection has no file-system path)
  // and answers whether OK is enabled for it. True when the user confirmed.
  virtual bool ChooseFolder(const char* title,
                            const std::function<bool(const char* path)>& onSelection) = 0;

  // Runs a dialog template modally with the handler and returns when it has
  // ended; -1 when it cannot be created, LastErrorText then says why.
  virtual int RunModalDialog(int templateId, DialogHandler& handler) = 0;
  virtual std::string LastErrorText() = 0;

  // The two log outputs run with the shared lock held, and the window thread
  // takes that lock itself when it logs: they hand the text to the window and
  // return without waiting for the window thread.
  virtual void AddProcessLogLine(std::string item) = 0;  // as the new first item
  virtual void SetStatusLine(std::string text) = 0;

  virtual void SetControlText(int controlId, const char* text) = 0;
  // The control's current text as the user left it.
  virtual std::string GetControlText(int controlId) = 0;
  virtual void EnableControl(int controlId, bool enabled) = 0;
  virtual bool IsControlEnabled(int controlId) = 0;
  // The platform's handle of a control, or of the main window itself for
  // kMainWindowHandle, for plugins that work on the window directly; nullptr
  // while the window does not exist.
  static constexpr int kMainWindowHandle = 0;
  virtual void* ControlHandle(int controlId) = 0;

  // Setting the text of an edit field notifies its dialog's handler at once
  // (OnCommand with ctl::kEditUpdate), as a user's change does; combo boxes
  // notify only the user's changes.

  // --- The main window ---
  virtual void SetWindowTitle(const char* title) = 0;
  // Centres the main window on the primary screen's work area and shows it.
  virtual void CenterMainWindow() = 0;
  // Shows the main window normally, restoring it when it is minimised.
  virtual void ShowMainWindowNormal() = 0;
  // Ends the main window's modal loop with the code once the window thread
  // gets back to it, as the quit message of the message loop does; the
  // handler's OnDestroy runs as the window goes.
  virtual void PostQuit(int exitCode) = 0;
  // Destroys the main window at once (its handler's OnDestroy runs), which
  // ends its modal loop.
  virtual void DestroyMainWindow() = 0;

  // The main window's editable combo boxes. Item indexes count from 0; -1 is
  // "no item".
  virtual void ResetCombo(int controlId) = 0;
  virtual int AddComboItem(int controlId, const char* text) = 0;  // the new index
  virtual void InsertComboItem(int controlId, int index, const char* text) = 0;
  virtual void DeleteComboItem(int controlId, int index) = 0;
  // Shows the item in the box without notifying; false when there is none.
  virtual bool SelectComboItem(int controlId, int index) = 0;
  virtual int ComboSelection(int controlId) = 0;

  // The options panel: a child of the main window placed at its right edge,
  // the main window widened by the panel's width. False when it cannot be
  // created (LastErrorText says why). Hiding destroys it and narrows the
  // main window again; its left and top edges and its height never change.
  virtual bool ShowOptionPanel(DialogHandler& handler) = 0;
  virtual void HideOptionPanel() = 0;

  // --- Controls of the options panel while it is shown ---
  virtual void SetPanelText(int controlId, const char* text) = 0;
  virtual std::string GetPanelText(int controlId) = 0;
  virtual void SetPanelCheck(int controlId, bool checked) = 0;
  virtual bool PanelChecked(int controlId) = 0;
  // The panel's report-style list: grid lines, whole rows selected, one
  // selection at most.
  virtual void AddListColumn(int controlId, const char* title, int width) = 0;
  virtual void AddListRow(int controlId, const std::vector<std::string>& cells) = 0;
  virtual int ListRowCount(int controlId) = 0;
  // The first selected row, -1 when none is.
  virtual int ListSelectedRow(int controlId) = 0;

  // The main window's progress bar.
  virtual void SetProgressRange(int low, int high) = 0;
  virtual void SetProgressStep(int step) = 0;
  virtual void SetProgressPosition(int position) = 0;
  virtual void StepProgress() = 0;

  // The window timer: OnTimer(timerId) of the main window's handler every
  // period on the window thread, until stopped.
  virtual void StartTimer(int timerId, unsigned milliseconds) = 0;
  virtual void StopTimer(int timerId) = 0;

  // On the window thread, while it waits for a worker: handles one pending
  // window event if there is one, so that the worker's calls into the window
  // go on. False when none was waiting.
  virtual bool DispatchPendingEvent() = 0;
};

}  // namespace orv
