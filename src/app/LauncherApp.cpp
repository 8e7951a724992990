#include "app/LauncherApp.h"

#include <string>

#include "platform/FileSystem.h"
#include "platform/Locale.h"
#include "platform/View.h"

namespace orv {

namespace {
// Message box texts are formatted into a 200-byte buffer.
constexpr std::size_t kMessageBufferSize = 200;
}  // namespace

LauncherApp::LauncherApp(View& view, Locale& locale, FileSystem& files) : m_view(view)
{
  locale.UseJapaneseProcessLocale();
  std::string directory;
  if (files.CurrentDirectory(directory))
    CopyText(startDir, directory);
}

void LauncherApp::ShowMessage(const char* caption, const char* format, ...)
{
  char text[kMessageBufferSize];
  std::va_list args;
  va_start(args, format);
  FormatText(text, sizeof text, format, args);
  va_end(args);
  m_view.ShowMessageBox(caption, text, MessageStyle::Plain);
}

void LauncherApp::ShowError(const char* format, ...)
{
  char text[kMessageBufferSize];
  std::va_list args;
  va_start(args, format);
  FormatText(text, sizeof text, format, args);
  va_end(args);
  m_view.ShowMessageBox("Error", text, MessageStyle::Error);
}

}  // namespace orv
