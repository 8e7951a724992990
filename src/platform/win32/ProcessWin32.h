#pragma once

#include "platform/Process.h"

namespace orv::win32 {

class ProcessesWin32 final : public Processes {
 public:
  std::uint32_t Start(const char* application, const char* commandLine,
                      const char* workingDirectory) override;
  void ShellOpen(const char* program, const char* parameters) override;
};

}  // namespace orv::win32
