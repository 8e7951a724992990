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
  void* ControlHandle(int) override { return nullptr; }
  void ShowMainWindowNormal() override {}
  void PostQuit(int) override {}
  void SetProgressRange(int, int) override {}
  void SetProgressStep(int) override {}
  void SetProgressPosition(int) override {}
  void StepProgress() override {}
  void StartTimer(int, unsigned) override {}
  void StopTimer(int) override {}
  bool DispatchPendingEvent() override { return false; }
};

}  // namespace orv
