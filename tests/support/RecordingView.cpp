#include "support/RecordingView.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <set>

#include "platform/ControlIds.h"

namespace orv::test {

namespace {
// The edit fields, whose every change of text notifies their dialog.
const std::set<int> kMainEdits = {ctl::kInformation, ctl::kPasswordEdit, ctl::kStatusLine};
const std::set<int> kPanelEdits = {ctl::kOrvDirEdit,       ctl::kLocalVersionEdit,
                                   ctl::kUpdateStepEdit,   ctl::kFileVersionEdit,
                                   ctl::kAttractionEdit,   ctl::kKivoraEdit};
const std::set<int> kCombos = {ctl::kKivoraIdCombo, ctl::kOrvAccountCombo};
constexpr int kMainWidth = 303;
constexpr int kPanelWidth = 187;

void Notify(const std::atomic<DialogHandler*>& handler, int controlId, int code)
{
  if (DialogHandler* target = handler.load())
    target->OnCommand(controlId, code);
}
}  // namespace

void RecordingView::ShowMessageBox(const char* caption, const char* text, MessageStyle style)
{
  {
    std::lock_guard guard(m_mutex);
    m_messages.push_back({caption, text, style});
  }
  if (whileMessageShown)
    whileMessageShown();
}

bool RecordingView::ChooseFolder(const char* title,
                                 const std::function<bool(const char* path)>& onSelection)
{
  ++chooserRuns;
  chooserTitle = title;
  for (const std::optional<std::string>& selection : folderSelections)
    okEnabled.push_back(onSelection(selection ? selection->c_str() : nullptr));
  return confirmFolder;
}

int RecordingView::RunModalDialog(int templateId, DialogHandler& handler)
{
  dialogsRun.push_back(templateId);
  if (templateId == ctl::kMainDialogTemplate)
    AttachMainWindow(&handler);
  if (whileDialogRuns)
    whileDialogRuns(templateId, handler);
  return dialogResult;
}

void RecordingView::AddProcessLogLine(std::string item)
{
  std::lock_guard guard(m_mutex);
  m_logItems.insert(m_logItems.begin(), std::move(item));
}

void RecordingView::SetStatusLine(std::string text)
{
  std::lock_guard guard(m_mutex);
  m_statusLines.push_back(text);
  m_status = std::move(text);
}

void RecordingView::SetControlText(int controlId, const char* text)
{
  {
    std::lock_guard guard(m_mutex);
    m_texts[controlId] = text;
  }
  if (kMainEdits.count(controlId))
    Notify(m_mainHandler, controlId, ctl::kEditUpdate);
}

void* RecordingView::ControlHandle(int controlId)
{
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(controlId) + 1);
}

void RecordingView::PostQuit(int exitCode)
{
  std::lock_guard guard(m_mutex);
  m_quitCalls.push_back(exitCode);
}

std::vector<int> RecordingView::QuitCalls() const
{
  std::lock_guard guard(m_mutex);
  return m_quitCalls;
}

std::vector<RecordingView::Message> RecordingView::Messages() const
{
  std::lock_guard guard(m_mutex);
  return m_messages;
}

std::vector<std::string> RecordingView::LogItems() const
{
  std::lock_guard guard(m_mutex);
  return m_logItems;
}

std::vector<std::string> RecordingView::LogLines() const
{
  std::lock_guard guard(m_mutex);
  std::vector<std::string> lines(m_logItems.rbegin(), m_logItems.rend());
  for (std::string& line : lines)
    if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0)
      line.resize(line.size() - 2);
  return lines;
}

std::string RecordingView::LastLogLine() const
{
  const std::vector<std::string> lines = LogLines();
  return lines.empty() ? std::string() : lines.back();
}

std::string RecordingView::Status() const
{
  std::lock_guard guard(m_mutex);
  return m_status;
}

std::string RecordingView::ControlText(int controlId) const
{
  std::lock_guard guard(m_mutex);
  auto found = m_texts.find(controlId);
  return found == m_texts.end() ? std::string() : found->second;
}

void RecordingView::EnableControl(int controlId, bool enabled)
{
  if (SentAcross([=, this] { EnableControl(controlId, enabled); }))
    return;
  std::lock_guard guard(m_mutex);
  m_enabled[controlId] = enabled;
  m_enableCalls.push_back(enabled ? controlId : -controlId);
}

bool RecordingView::IsControlEnabled(int controlId)
{
  std::lock_guard guard(m_mutex);
  auto found = m_enabled.find(controlId);
  if (found != m_enabled.end())
    return found->second;
  return controlId != ctl::kMainButton && controlId != ctl::kOptionButton;
}

void RecordingView::SetProgressRange(int low, int high)
{
  std::lock_guard guard(m_mutex);
  m_progress.low = low;
  m_progress.high = high;
}

void RecordingView::SetProgressStep(int step)
{
  std::lock_guard guard(m_mutex);
  m_progress.step = step;
}

void RecordingView::SetProgressPosition(int position)
{
  std::lock_guard guard(m_mutex);
  m_progress.position = position;
  m_progress.positions.push_back(position);
}

void RecordingView::StepProgress()
{
  std::lock_guard guard(m_mutex);
  m_progress.position += m_progress.step;
  if (m_progress.position > m_progress.high)  // a bar wraps round when stepped past its end
    m_progress.position = m_progress.low + (m_progress.position - m_progress.high);
  m_progress.positions.push_back(m_progress.position);
}

void RecordingView::StartTimer(int timerId, unsigned milliseconds)
{
  std::lock_guard guard(m_mutex);
  m_timers[timerId] = milliseconds;
  m_timerCalls.push_back(timerId);
}

void RecordingView::StopTimer(int timerId)
{
  std::lock_guard guard(m_mutex);
  m_timers.erase(timerId);
  m_timerCalls.push_back(-timerId);
}

struct RecordingView::SentCall {
  std::function<void()> call;
  bool taken = false;
  bool done = false;
};

void RecordingView::SendWorkerCallsToThisThread()
{
  m_windowThread = std::this_thread::get_id();
  m_sending = true;
}

int RecordingView::unansweredSends() const
{
  std::lock_guard guard(m_mutex);
  return m_unansweredSends;
}

bool RecordingView::SentAcross(const std::function<void()>& call)
{
  if (!m_sending || std::this_thread::get_id() == m_windowThread)
    return false;
  SentCall sent{call};
  {
    std::lock_guard guard(m_mutex);
    if (m_unansweredSends > 0) {
      ++m_unansweredSends;
      return false;
    }
    m_sent.push_back(&sent);
  }
  constexpr int kBackstopMilliseconds = 10000;
  for (int waited = 0;; ++waited) {
    {
      std::lock_guard guard(m_mutex);
      if (sent.done)
        return true;
      if (!sent.taken && waited >= kBackstopMilliseconds) {
        m_sent.erase(std::find(m_sent.begin(), m_sent.end(), &sent));
        ++m_unansweredSends;
        return false;
      }
    }
    ::usleep(1000);
  }
}

bool RecordingView::DispatchPendingEvent()
{
  ++m_dispatchCalls;
  if (whileDispatching)
    whileDispatching();
  SentCall* sent = nullptr;
  {
    std::lock_guard guard(m_mutex);
    if (!m_sent.empty()) {
      sent = m_sent.front();
      m_sent.erase(m_sent.begin());
      sent->taken = true;
    }
  }
  if (!sent) {
    ::usleep(1000);  // as a window would, let the worker run meanwhile
    return false;
  }
  sent->call();
  std::lock_guard guard(m_mutex);
  sent->done = true;
  return true;
}

std::vector<std::string> RecordingView::StatusLines() const
{
  std::lock_guard guard(m_mutex);
  return m_statusLines;
}

std::map<int, bool> RecordingView::Enabled() const
{
  std::lock_guard guard(m_mutex);
  return m_enabled;
}

std::vector<int> RecordingView::EnableCalls() const
{
  std::lock_guard guard(m_mutex);
  return m_enableCalls;
}

RecordingView::Progress RecordingView::ProgressBar() const
{
  std::lock_guard guard(m_mutex);
  return m_progress;
}

std::map<int, unsigned> RecordingView::Timers() const
{
  std::lock_guard guard(m_mutex);
  return m_timers;
}

std::vector<int> RecordingView::TimerCalls() const
{
  std::lock_guard guard(m_mutex);
  return m_timerCalls;
}

}  // namespace orv::test

namespace orv::test {

void RecordingView::SetWindowTitle(const char* title)
{
  std::lock_guard guard(m_mutex);
  m_title = title;
}

std::string RecordingView::Title() const
{
  std::lock_guard guard(m_mutex);
  return m_title;
}

void RecordingView::DestroyMainWindow()
{
  if (m_destroyed.exchange(true))
    return;
  if (whenMainWindowDestroyed)
    whenMainWindowDestroyed();
  if (DialogHandler* handler = m_mainHandler.exchange(nullptr))
    handler->OnDestroy();
}

void RecordingView::AttachMainWindow(DialogHandler* handler)
{
  m_destroyed = false;
  m_mainHandler = handler;
}

void RecordingView::UserClicks(int controlId, bool panel)
{
  Notify(panel ? m_panelHandler : m_mainHandler, controlId, ctl::kClicked);
}

void RecordingView::UserTypes(int controlId, const std::string& text, bool panel)
{
  {
    std::lock_guard guard(m_mutex);
    (panel ? m_panelTexts : m_texts)[controlId] = text;
    if (!panel && kCombos.count(controlId))
      m_comboSelection[controlId] = -1;
  }
  if (panel)
    Notify(m_panelHandler, controlId, ctl::kEditUpdate);
  else
    Notify(m_mainHandler, controlId, kCombos.count(controlId) ? ctl::kEditChange : ctl::kEditUpdate);
}

void RecordingView::UserSelectsComboItem(int controlId, int index)
{
  ASSERT_TRUE(SelectComboItem(controlId, index));
  Notify(m_mainHandler, controlId, ctl::kSelectionChange);
}

void RecordingView::UserTicks(int controlId, bool checked)
{
  SetPanelCheck(controlId, checked);
  Notify(m_panelHandler, controlId, ctl::kClicked);
}

void RecordingView::ResetCombo(int controlId)
{
  std::lock_guard guard(m_mutex);
  m_comboItems[controlId].clear();
  m_comboSelection[controlId] = -1;
  m_texts[controlId].clear();
}

int RecordingView::AddComboItem(int controlId, const char* text)
{
  std::lock_guard guard(m_mutex);
  m_comboItems[controlId].push_back(text);
  return static_cast<int>(m_comboItems[controlId].size()) - 1;
}

void RecordingView::InsertComboItem(int controlId, int index, const char* text)
{
  std::lock_guard guard(m_mutex);
  auto& items = m_comboItems[controlId];
  if (index < 0 || index > static_cast<int>(items.size()))
    index = static_cast<int>(items.size());
  items.insert(items.begin() + index, text);
}

void RecordingView::DeleteComboItem(int controlId, int index)
{
  std::lock_guard guard(m_mutex);
  auto& items = m_comboItems[controlId];
  if (index >= 0 && index < static_cast<int>(items.size()))
    items.erase(items.begin() + index);
  if (m_comboSelection[controlId] == index)
    m_comboSelection[controlId] = -1;
}

bool RecordingView::SelectComboItem(int controlId, int index)
{
  std::lock_guard guard(m_mutex);
  const auto& items = m_comboItems[controlId];
  if (index < 0 || index >= static_cast<int>(items.size())) {
    m_comboSelection[controlId] = -1;
    return false;
  }
  m_comboSelection[controlId] = index;
  m_texts[controlId] = items[index];
  return true;
}

int RecordingView::ComboSelection(int controlId)
{
  std::lock_guard guard(m_mutex);
  auto found = m_comboSelection.find(controlId);
  return found == m_comboSelection.end() ? -1 : found->second;
}

std::vector<std::string> RecordingView::ComboItems(int controlId) const
{
  std::lock_guard guard(m_mutex);
  auto found = m_comboItems.find(controlId);
  return found == m_comboItems.end() ? std::vector<std::string>() : found->second;
}

bool RecordingView::ShowOptionPanel(DialogHandler& handler)
{
  if (panelCreationFails)
    return false;
  {
    std::lock_guard guard(m_mutex);
    m_panelTexts.clear();
    m_panelChecks.clear();
    m_listColumns.clear();
    m_listRows.clear();
  }
  m_panelHandler = &handler;
  handler.OnInitDialog();
  return true;
}

void RecordingView::HideOptionPanel()
{
  if (DialogHandler* handler = m_panelHandler.exchange(nullptr))
    handler->OnDestroy();
}

bool RecordingView::PanelShown() const
{
  return m_panelHandler.load() != nullptr;
}

int RecordingView::MainWindowWidth() const
{
  return kMainWidth + (PanelShown() ? kPanelWidth : 0);
}

void RecordingView::SetPanelText(int controlId, const char* text)
{
  {
    std::lock_guard guard(m_mutex);
    m_panelTexts[controlId] = text;
  }
  if (kPanelEdits.count(controlId))
    Notify(m_panelHandler, controlId, ctl::kEditUpdate);
}

std::string RecordingView::GetPanelText(int controlId)
{
  return PanelText(controlId);
}

std::string RecordingView::PanelText(int controlId) const
{
  std::lock_guard guard(m_mutex);
  auto found = m_panelTexts.find(controlId);
  return found == m_panelTexts.end() ? std::string() : found->second;
}

void RecordingView::SetPanelCheck(int controlId, bool checked)
{
  std::lock_guard guard(m_mutex);
  m_panelChecks[controlId] = checked;
}

bool RecordingView::PanelChecked(int controlId)
{
  std::lock_guard guard(m_mutex);
  return m_panelChecks[controlId];
}

void RecordingView::AddListColumn(int, const char* title, int width)
{
  std::lock_guard guard(m_mutex);
  m_listColumns.push_back({title, width});
}

void RecordingView::AddListRow(int, const std::vector<std::string>& cells)
{
  std::lock_guard guard(m_mutex);
  m_listRows.push_back(cells);
}

int RecordingView::ListRowCount(int)
{
  std::lock_guard guard(m_mutex);
  return static_cast<int>(m_listRows.size());
}

int RecordingView::ListSelectedRow(int)
{
  return selectedListRow;
}

std::vector<RecordingView::ListColumn> RecordingView::ListColumns() const
{
  std::lock_guard guard(m_mutex);
  return m_listColumns;
}

std::vector<std::vector<std::string>> RecordingView::ListRows() const
{
  std::lock_guard guard(m_mutex);
  return m_listRows;
}

}  // namespace orv::test
