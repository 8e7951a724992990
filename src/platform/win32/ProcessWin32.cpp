#include "platform/win32/ProcessWin32.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/win32/Win32Error.h"

namespace orv::win32 {

std::uint32_t ProcessesWin32::Start(const char* application, const char* commandLine,
                                    const char* workingDirectory)
{
  // CreateProcessA may write into the command line it is given.
  std::vector<char> line;
  if (commandLine) {
    for (const char* c = commandLine; *c; ++c)
      line.push_back(*c);
  }
  line.push_back('\0');

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION started{};
  if (!CreateProcessA(application, line.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                      nullptr, workingDirectory, &startup, &started))
    return LastErrorOr(err::kInvalidParameter);
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return 0;
}

void ProcessesWin32::ShellOpen(const char* program, const char* parameters)
{
  ShellExecuteA(nullptr, "open", program, parameters, nullptr, SW_SHOWNORMAL);
}

}  // namespace orv::win32
