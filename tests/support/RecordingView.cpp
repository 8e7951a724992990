#include "support/RecordingView.h"

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
  m_status = std::move(text);
}

void RecordingView::SetControlText(int controlId, const char* text)
{
  std::lock_guard guard(m_mutex);
  m_texts[controlId] = text;
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

}  // namespace orv::test
