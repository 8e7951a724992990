#include "support/RecordingView.h"

#include <unistd.h>

#include <cstdint>

namespace orv::test {

void RecordingView::ShowMessageBox(const char* caption, const char* text, MessageStyle style)
{
  std::lock_guard guard(m_mutex);
  m_messages.push_back({caption, text, style});
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
  std::lock_guard guard(m_mutex);
  m_texts[controlId] = text;
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
  std::lock_guard guard(m_mutex);
  m_enabled[controlId] = enabled;
  m_enableCalls.push_back(enabled ? controlId : -controlId);
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

bool RecordingView::DispatchPendingEvent()
{
  ++m_dispatchCalls;
  ::usleep(1000);  // as a window would, let the worker run meanwhile
  return false;
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
