#pragma once

#include "platform/View.h"

namespace orv {

// A view without a window, for programs that run the launcher's logic with
// nobody watching (console tools, benchmarks, fuzzers): every call is taken
// and shows nothing, message boxes return at once, no folder is chosen and
// a modal dialog ends as soon as it starts. Override what should be seen.
class QuietView : public View {
 public:
  void ShowMessageBox(const char*, const char*, MessageStyle) override {}
  bool ChooseFolder(const char*, const std::function<bool(const char*)>&) override { return false; }
  int RunModalDialog(int, DialogHandler&) override { return 0; }
  std::string LastErrorText() override { return {}; }
  void AddProcessLogLine(std::string) override {}
  void SetStatusLine(std::string) override {}
  void SetControlText(int, const char*) override {}
  std::string GetControlText(int) override { return {}; }
  void EnableControl(int, bool) override {}
  bool IsControlEnabled(int) override { return true; }
  void* ControlHandle(int) override { return nullptr; }
  void SetWindowTitle(const char*) override {}
  void CenterMainWindow() override {}
  void ShowMainWindowNormal() override {}
  void PostQuit(int) override {}
  void DestroyMainWindow() override {}
  void ResetCombo(int) override {}
  int AddComboItem(int, const char*) override { return 0; }
  void InsertComboItem(int, int, const char*) override {}
  void DeleteComboItem(int, int) override {}
  bool SelectComboItem(int, int) override { return false; }
  int ComboSelection(int) override { return -1; }
  bool ShowOptionPanel(DialogHandler&) override { return false; }
  void HideOptionPanel() override {}
  void SetPanelText(int, const char*) override {}
  std::string GetPanelText(int) override { return {}; }
  void SetPanelCheck(int, bool) override {}
  bool PanelChecked(int) override { return false; }
  void AddListColumn(int, const char*, int) override {}
  void AddListRow(int, const std::vector<std::string>&) override {}
  int ListRowCount(int) override { return 0; }
  int ListSelectedRow(int) override { return -1; }
  void SetProgressRange(int, int) override {}
  void SetProgressStep(int) override {}
  void SetProgressPosition(int) override {}
  void StepProgress() override {}
  void StartTimer(int, unsigned) override {}
  void StopTimer(int) override {}
  bool DispatchPendingEvent() override { return false; }
};

}  // namespace orv
