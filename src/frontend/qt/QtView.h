#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frontend/qt/DialogLayout.h"
#include "platform/View.h"

class QEventLoop;
class QTimer;
class QWidget;

namespace orv::qt {

class MainWindowWidget;

// The launcher's windows on Qt Widgets: the main window (template 101) and
// its options panel (102), message boxes and the folder chooser.
//
// The window thread is the thread that made the view (it must be the thread
// of the QApplication, made first). A call from that thread acts at once. A
// call from any other thread is queued to the window thread in the order it
// was made; calls that answer something wait for the window thread's answer,
// the others return at once. The two log outputs, which run under the shared
// lock, are queued from every thread and never wait. Handlers are only ever
// called on the window thread.
class QtView final : public View {
 public:
  QtView();
  ~QtView() override;

  QtView(const QtView&) = delete;
  QtView& operator=(const QtView&) = delete;

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

  // The main window while it exists, and its options panel while shown;
  // for the Linux entry point and the window's tests.
  QWidget* MainWindow() const;
  QWidget* OptionPanel() const;

 private:
  enum class Dialog { Main, Panel };

  // Runs call on the window thread: at once there, else queued in order
  // without waiting (Post) or waiting for its answer (Ask).
  void Post(std::function<void()> call);
  void Queue(std::function<void()> call);  // queued from every thread
  template <class Result>
  Result Ask(const std::function<Result()>& call);
  bool OnWindowThread() const;

  void Notify(Dialog dialog, int controlId, int code);
  QWidget* Control(Dialog dialog, int controlId) const;
  void ConnectNotifications(Dialog dialog, const std::map<int, QWidget*>& controls);
  void SetEditText(Dialog dialog, int controlId, const QString& text);
  std::string ControlText(Dialog dialog, int controlId) const;
  void OnCloseRequest();
  bool OnDialogKey(int key);
  void EndMainWindow();
  void ClosePanel();
  void ShowProgress();

  // Combo boxes: the item operations keep what the user is typing.
  class ComboEditGuard;

  QObject m_context;  // lives on the window thread; queued calls run through it
  const std::thread::id m_windowThreadId;
  QFont m_font;
  DialogUnits m_units;
  std::atomic<unsigned> m_callsRun{0};

  std::string m_lastError;
  QPointer<MainWindowWidget> m_main;
  std::map<int, QWidget*> m_mainControls;
  DialogHandler* m_mainHandler = nullptr;
  QEventLoop* m_loop = nullptr;
  std::optional<int> m_quitCode;
  bool m_mainEnding = false;

  QPointer<QWidget> m_panel;
  std::map<int, QWidget*> m_panelControls;
  DialogHandler* m_panelHandler = nullptr;
  int m_panelWidth = 0;

  // What a Windows combo box calls its current selection: the item the user
  // or the window last chose, -1 once the user has typed.
  std::map<int, int> m_comboSelection;
  std::map<int, QTimer*> m_timers;
  struct Progress {
    int low = 0, high = 100, step = 10, position = 0;
  } m_progress;
};

}  // namespace orv::qt
