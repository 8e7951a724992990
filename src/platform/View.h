#pragma once

#include <functional>
#include <string>

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
  // The platform's handle of a control, or of the main window itself for
  // kMainWindowHandle, for plugins that work on the window directly; nullptr
  // while the window does not exist.
  static constexpr int kMainWindowHandle = 0;
  virtual void* ControlHandle(int controlId) = 0;

  // Shows the main window normally, restoring it when it is minimised.
  virtual void ShowMainWindowNormal() = 0;
  // Ends the main window's modal loop with the code once the window thread
  // gets back to it, as the quit message of the message loop does.
  virtual void PostQuit(int exitCode) = 0;

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
