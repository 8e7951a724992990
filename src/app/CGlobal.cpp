#include "app/CGlobal.h"

#include <cstdio>
#include <string>

#include "app/LauncherApp.h"
#include "app/LauncherMode.h"
#include "platform/ControlIds.h"

namespace orv {

namespace {
// Log lines are formatted into a 1024-byte buffer: at most 1023 bytes of text.
constexpr std::size_t kLogBufferSize = 1024;
constexpr const char* kLogFileName = "LaunchDbLog.txt";
}  // namespace

CGlobal::CGlobal(const Platform& platform, LauncherApp& app, const Deployment& deployment)
    : m_platform(platform),
      m_app(app),
      m_deployment(deployment),
      m_profile(platform.files, platform.profiles)
{
  CopyText(Home, DefaultHomePage(deployment));
}

CGlobal::~CGlobal()
{
  UnloadPackLibrary();
}

void CGlobal::SetMainWindow(View* window)
{
  m_window = window;
}

void CGlobal::AppendToLogFile(const char* text)
{
  if (Logging != 1)
    return;
  // Named from the start directory rather than relative to the current one,
  // which a plugin may change. Binary append with an explicit CR LF gives the
  // same bytes on every platform as a text-mode append of "%s\n" on Windows.
  const std::string path = std::string(startDir) + "\\" + kLogFileName;
  std::FILE* file = m_platform.files.OpenFile(path.c_str(), "ab");
  if (!file)
    return;
  std::fprintf(file, "%s\r\n", text);
  std::fclose(file);
}

void CGlobal::WriteProcessLog(const char* format, ...)
{
  std::va_list args;
  va_start(args, format);
  WriteLine(LogOutput::ProcessLog, format, args);
  va_end(args);
}

void CGlobal::WriteStatus(const char* format, ...)
{
  std::va_list args;
  va_start(args, format);
  WriteLine(LogOutput::StatusLine, format, args);
  va_end(args);
}

void CGlobal::WriteLogFileLine(const char* format, ...)
{
  std::lock_guard guard(lock);
  char text[kLogBufferSize];
  std::va_list args;
  va_start(args, format);
  FormatText(text, sizeof text, format, args);
  va_end(args);
  AppendToLogFile(text);
}

void CGlobal::WriteLine(LogOutput output, const char* format, std::va_list args)
{
  // One lock from the formatting to the window, so that lines reach the file
  // and the window one at a time and in the same order.
  std::lock_guard guard(lock);
  char text[kLogBufferSize];
  FormatText(text, sizeof text, format, args);
  AppendToLogFile(text);

  View* window = m_window;
  if (!window)
    return;
  if (output == LogOutput::ProcessLog) {
    // The list item is the text and CR LF: 1025 bytes for a full 1023-byte
    // line, so it is built outside the formatting buffer.
    window->AddProcessLogLine(std::string(text) + "\r\n");
  } else {
    window->SetStatusLine(text);
  }
}

void CGlobal::SetLauncherMode(std::int32_t mode)
{
  launcherMode = mode;
  View* window = m_window;
  if (const char* caption = LauncherModeCaption(mode)) {
    if (window)
      window->SetControlText(ctl::kMainButton, caption);
    return;
  }
  if (window)
    window->SetControlText(ctl::kMainButton, "Error");
  m_app.ShowMessage("Error", "不正なランチャモード");
}

}  // namespace orv
