#pragma once

#include <string>

#include "platform/Process.h"

namespace orv::posix {

// Programs started with posix_spawn. The Windows command line is cut into
// arguments by the Windows rules; a Windows program (a file starting "MZ")
// runs through wine, anything else the kernel runs itself. The shell's
// "open" of the web browser hands the address to the desktop's opener.
// Every child is reaped in the background, so none stays a zombie, and none
// inherits the launcher's descriptors beyond the three standard ones.
class ProcessesPosix final : public Processes {
 public:
  explicit ProcessesPosix(std::string wineProgram = DefaultWine(),
                          std::string opener = "xdg-open");

  std::uint32_t Start(const char* application, const char* commandLine,
                      const char* workingDirectory) override;
  void ShellOpen(const char* program, const char* parameters) override;

  // Debian's wine64 loader (not on PATH), else wine64 or wine from PATH,
  // else the bare name "wine".
  static std::string DefaultWine();

 private:
  std::string m_wine;
  std::string m_opener;
};

}  // namespace orv::posix
