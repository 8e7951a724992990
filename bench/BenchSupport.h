#pragma once

// What the benchmarks share: a launcher started in a temporary start folder
// on the real Linux back-ends, a child process timer, and the ratio lines
// they print at the end.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/CGlobal.h"
#include "platform/QuietView.h"
#include "platform/posix/PosixPlatform.h"
#include "root/Launcher.h"
#include "support/FrameFixture.h"
#include "support/TempDir.h"

extern char** environ;

namespace orv::bench {

// ORV_BENCH_SCALE=small divides the big inputs by 8 for a quick look.
inline std::uint64_t Scaled(std::uint64_t bytes)
{
  const char* scale = std::getenv("ORV_BENCH_SCALE");
  return scale && std::string(scale) == "small" ? bytes / 8 : bytes;
}

// The window of a launcher that nobody looks at; message boxes and log lines
// go to the error output, should something fail.
class BenchView : public QuietView {
 public:
  void ShowMessageBox(const char* caption, const char* text, MessageStyle) override
  {
    std::fprintf(stderr, "message box %s: %s\n", caption, text);
  }
  void AddProcessLogLine(std::string item) override { std::fprintf(stderr, "log: %s", item.c_str()); }
};

// A launcher path for a file of the temporary folders, whose names are
// plain ASCII: the same bytes in Shift_JIS.
inline std::string LauncherPath(const std::filesystem::path& path) { return path.string(); }

class BenchLauncher {
 public:
  explicit BenchLauncher(const Deployment& deployment)
  {
    test::WriteFile(m_start.path() / "OLConfig.ini",
                    "[Conf]\r\nOrvDir=" + (m_start.path() / "game").string() + "\r\n");
    std::filesystem::create_directories(m_start.path() / "game");
    test::WriteFile(m_start.path() / "game" / "orv.exe", "MZ");
    std::filesystem::create_directories(m_start.path() / "_temp");
    m_launcher = std::make_unique<Launcher>(m_backends.With(m_view), deployment, m_handler);
    m_launcher->CreateApp();
    if (!m_launcher->Startup()) {
      std::fprintf(stderr, "the launcher did not start\n");
      std::exit(1);
    }
    global().workerRun = 1;
  }
  CGlobal& global() { return *m_launcher->Global(); }
  const std::filesystem::path& start() const { return m_start.path(); }
  std::filesystem::path game() const { return m_start.path() / "game"; }

 private:
  test::TempDir m_start;
  test::ScopedCurrentDirectory m_inStart{m_start.path()};
  test::ScopedEnvironment m_lcAll{"LC_ALL", std::nullopt};
  test::ScopedEnvironment m_lang{"LANG", "ja_JP.UTF-8"};
  posix::PosixPlatform m_backends;
  BenchView m_view;
  test::NotingHandler m_handler;
  std::unique_ptr<Launcher> m_launcher;
};

// Runs a command and answers the seconds it took; exits when it fails.
inline double TimeCommand(const std::vector<std::string>& arguments)
{
  std::vector<char*> argv;
  for (const std::string& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const auto begin = std::chrono::steady_clock::now();
  pid_t child = 0;
  int status = 0;
  if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0 ||
      waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed\n", argv[0]);
    std::exit(1);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

// Seconds of each measured subject, one figure per run; the median stands
// for the subject, as this machine's disk makes single runs wander.
struct Timings {
  std::map<std::string, std::vector<double>> seconds;
  void Add(const std::string& subject, double s) { seconds[subject].push_back(s); }
  double Median(const std::string& subject)
  {
    std::vector<double> runs = seconds[subject];
    if (runs.empty())
      return 0;
    std::sort(runs.begin(), runs.end());
    return runs.size() % 2 ? runs[runs.size() / 2]
                           : (runs[runs.size() / 2 - 1] + runs[runs.size() / 2]) / 2;
  }
};

inline Timings& Measured()
{
  static Timings timings;
  return timings;
}

// Peak resident memory of this process since the last ResetPeakMemory, in
// bytes.
inline void ResetPeakMemory()
{
  if (std::FILE* file = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", file);
    std::fclose(file);
  }
}
// A "VmHWM" or "VmRSS" figure of /proc/self/status, in bytes.
inline std::uint64_t StatusFigure(const char* field)
{
  std::FILE* file = std::fopen("/proc/self/status", "r");
  if (!file)
    return 0;
  const std::string pattern = std::string(field) + ": %lu kB";
  char line[256];
  std::uint64_t kib = 0;
  while (std::fgets(line, sizeof line, file))
    if (std::sscanf(line, pattern.c_str(), &kib) == 1)
      break;
  std::fclose(file);
  return kib * 1024;
}
inline std::uint64_t PeakMemory() { return StatusFigure("VmHWM"); }
inline std::uint64_t CurrentMemory() { return StatusFigure("VmRSS"); }

// Notes each benchmark's best repetition for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override
  {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred)
        continue;
      const auto [known, added] = times.emplace(run.run_name.function_name, run.GetAdjustedRealTime());
      if (!added && run.GetAdjustedRealTime() < known->second)
        known->second = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

inline void PrintRatio(const RatioReporter& reporter, const char* what, const std::string& subject,
                const std::string& baseline)
{
  const auto s = reporter.times.find(subject), b = reporter.times.find(baseline);
  if (s == reporter.times.end() || b == reporter.times.end() || b->second <= 0)
    return;
  std::printf("%s: %.3gx the baseline (best repetitions: %.3g ms against %.3g ms)\n", what,
              s->second / b->second, s->second, b->second);
}

}  // namespace orv::bench
