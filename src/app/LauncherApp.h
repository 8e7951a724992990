#pragma once

#include <cstdint>

#include "app/Text.h"

namespace orv {

class DialogHandler;
class FileSystem;
class Locale;
class View;

// The application object: where the launcher was started, which dialog it
// runs, and the message boxes every part of the program shows.
class LauncherApp {
 public:
  // Switches the process to the Japanese locale and notes the current
  // directory (cut to the field; start-up refuses a directory that does not
  // fit before anything uses it).
  LauncherApp(View& view, Locale& locale, FileSystem& files);

  LauncherApp(const LauncherApp&) = delete;
  LauncherApp& operator=(const LauncherApp&) = delete;

  // A message box with the caption, the formatted text (at most 199 bytes)
  // and an OK button; returns when the user has closed it.
  void ShowMessage(const char* caption, const char* format, ...) ORV_PRINTF(3, 4);
  // The same with the caption "Error" and the error icon.
  void ShowError(const char* format, ...) ORV_PRINTF(2, 3);

  char startDir[260] = {};
  std::uint16_t dialogTemplate = 0;
  DialogHandler* dialogProc = nullptr;

 private:
  View& m_view;
};

}  // namespace orv
