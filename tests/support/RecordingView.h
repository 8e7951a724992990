#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/View.h"

namespace orv::test {

// The window, message boxes and folder chooser of the tests: records what the
// launcher shows and plays back what a user would choose.
class RecordingView : public View {
 public:
  struct Message {
    std::string caption;
    std::string text;
    MessageStyle style;
  };

  void ShowMessageBox(const char* caption, const char* text, MessageStyle style) override;
  bool ChooseFolder(const char* title,
                    const std::function<bool(const char* path)>& onSelection) override;
  int RunModalDialog(int templateId, DialogHandler& handler) override;
  std::string LastErrorText() override { return lastErrorText; }
  void AddProcessLogLine(std::string item) override;
  void SetStatusLine(std::string text) override;
  void SetControlText(int controlId, const char* text) override;
  std::string GetControlText(int controlId) override { return ControlText(controlId); }
  void EnableControl(int controlId, bool enabled) override;
  // As the main window starts: the main and Option buttons disabled.
  bool IsControlEnabled(int controlId) override;
  // A distinct fake handle per control: the id plus one, as a pointer.
  void* ControlHandle(int controlId) override;
  void SetWindowTitle(const char* title) override;
  void CenterMainWindow() override { ++m_centerCalls; }
  void ShowMainWindowNormal() override { ++m_showNormalCalls; }
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

  std::vector<Message> Messages() const;
  // The process log list as the window shows it, newest line first.
  std::vector<std::string> LogItems() const;
  // The same lines in the order written, without the CR LF the items carry.
  std::vector<std::string> LogLines() const;
  // The newest of them; "" when there is none.
  std::string LastLogLine() const;
  std::string Status() const;
  std::string ControlText(int controlId) const;
  // Every status line in the order written.
  std::vector<std::string> StatusLines() const;
  // Absent from the map: never enabled or disabled.
  std::map<int, bool> Enabled() const;
  // Every enable (+id) and disable (-id), in order.
  std::vector<int> EnableCalls() const;
  struct Progress {
    int low = 0, high = 100, step = 10, position = 0;
    std::vector<int> positions;  // every position set or stepped to, in order
  };
  Progress ProgressBar() const;
  // Timers running now, and every start (+id) and stop (-id) in order.
  std::map<int, unsigned> Timers() const;
  std::vector<int> TimerCalls() const;
  int dispatchCalls() const { return m_dispatchCalls; }
  int showNormalCalls() const { return m_showNormalCalls; }
  int centerCalls() const { return m_centerCalls; }
  std::string Title() const;

  // The main window as a user meets it: the handler that gets its
  // notifications (set by RunModalDialog too), and what the user does.
  void AttachMainWindow(DialogHandler* handler);
  bool MainWindowDestroyed() const { return m_destroyed; }
  // Clicks a button or types into a combo box or an edit field of the main
  // window, or of the options panel when panel is true.
  void UserClicks(int controlId, bool panel = false);
  void UserTypes(int controlId, const std::string& text, bool panel = false);
  void UserSelectsComboItem(int controlId, int index);
  void UserTicks(int controlId, bool checked);
  std::vector<std::string> ComboItems(int controlId) const;

  // The options panel and the main window's width in dialog units.
  bool PanelShown() const;
  int MainWindowWidth() const;
  bool panelCreationFails = false;
  std::string PanelText(int controlId) const;
  struct ListColumn {
    std::string title;
    int width;
  };
  std::vector<ListColumn> ListColumns() const;
  std::vector<std::vector<std::string>> ListRows() const;
  int selectedListRow = -1;
  // Every exit code posted with PostQuit, in order.
  std::vector<int> QuitCalls() const;

  // Folder chooser script: the selections the user moves through (nullopt for
  // one without a file-system path), then OK or Cancel.
  std::vector<std::optional<std::string>> folderSelections;
  bool confirmFolder = false;
  // What the chooser was asked and answered.
  int chooserRuns = 0;
  std::string chooserTitle;
  std::vector<bool> okEnabled;

  // Modal dialogs: the result to give, and what runs while the dialog is up.
  int dialogResult = 0;
  std::function<void(int templateId, DialogHandler& handler)> whileDialogRuns;
  // Runs in ShowMessageBox, on the thread that shows the box, while it is up.
  std::function<void()> whileMessageShown;
  // Run in DispatchPendingEvent, where the window handles what the user did
  // while a handler waits; and as the main window is destroyed, before its
  // handler hears of it.
  std::function<void()> whileDispatching;
  std::function<void()> whenMainWindowDestroyed;

  // From now on a control enabled or disabled from another thread than this
  // one waits until this thread, the window's, handles the call in
  // DispatchPendingEvent, one call a dispatch, as a message sent to a
  // control across threads does on Windows. A call left unhandled for 10 s
  // (the window thread blocked) goes through by itself and is counted here;
  // so are all after it, at once.
  void SendWorkerCallsToThisThread();
  int unansweredSends() const;
  std::vector<int> dialogsRun;
  std::string lastErrorText = "The specified resource type cannot be found in the image file.";

 private:
  mutable std::mutex m_mutex;
  std::vector<Message> m_messages;
  std::vector<std::string> m_logItems;
  std::string m_status;
  std::map<int, std::string> m_texts;
  std::vector<std::string> m_statusLines;
  std::map<int, bool> m_enabled;
  std::vector<int> m_enableCalls;
  Progress m_progress;
  std::map<int, unsigned> m_timers;
  std::vector<int> m_timerCalls;
  std::atomic<int> m_dispatchCalls{0};
  std::atomic<int> m_showNormalCalls{0};
  std::atomic<int> m_centerCalls{0};
  std::string m_title;
  std::atomic<DialogHandler*> m_mainHandler{nullptr};
  std::atomic<DialogHandler*> m_panelHandler{nullptr};
  std::atomic<bool> m_destroyed{false};
  std::map<int, std::vector<std::string>> m_comboItems;
  std::map<int, int> m_comboSelection;
  std::map<int, std::string> m_panelTexts;
  std::map<int, bool> m_panelChecks;
  std::vector<ListColumn> m_listColumns;
  std::vector<std::vector<std::string>> m_listRows;
  std::vector<int> m_quitCalls;

  struct SentCall;
  // Runs call on the window thread when sends are on and this is another.
  bool SentAcross(const std::function<void()>& call);
  std::atomic<bool> m_sending{false};
  std::thread::id m_windowThread;
  std::vector<SentCall*> m_sent;  // under m_mutex, oldest first
  int m_unansweredSends = 0;
};

}  // namespace orv::test
