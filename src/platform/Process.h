#pragma once

#include <cstdint>

namespace orv {

// Starting other programs: the game and the web browser.
class Processes {
 public:
  virtual ~Processes() = default;

  // Starts the program at application (a launcher path) with the whole
  // Windows command line, the program's own name as its first word, in the
  // working directory, shown normally. It does not wait for the program and
  // keeps nothing of it. 0 when it was started, otherwise the platform's
  // error number (err::kFileNotFound for a missing program, ...).
  virtual std::uint32_t Start(const char* application, const char* commandLine,
                              const char* workingDirectory) = 0;

  // Asks the desktop to "open" the program with the parameters, shown
  // normally. Whether anything opened is not reported.
  virtual void ShellOpen(const char* program, const char* parameters) = 0;
};

}  // namespace orv
