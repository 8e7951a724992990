#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <sstream>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/posix/Cp932.h"
#include "platform/posix/ProcessPosix.h"
#include "platform/posix/WindowsCommandLine.h"
#include "support/PluginFolder.h"
#include "support/StubGame.h"
#include "support/TempDir.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

std::string Utf8(const std::string& cp932)
{
  std::string utf8;
  EXPECT_TRUE(posix::Cp932ToUtf8(cp932, utf8));
  return utf8;
}

// Processes whose parent is this one, running or exited but never waited for.
int Children()
{
  int count = 0;
  const std::string self = std::to_string(getpid());
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string line, state, parent;
    if (!std::getline(stat, line) || line.rfind(')') == std::string::npos)
      continue;
    std::istringstream(line.substr(line.rfind(')') + 1)) >> state >> parent;
    count += parent == self;
  }
  return count;
}

bool AllChildrenGone() { return Eventually([] { return Children() == 0; }); }

void WriteScript(const fs::path& script, const std::string& body)
{
  WriteFile(script, "#!/bin/sh\n" + body + "\n");
  fs::permissions(script, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
}

// A script that writes the stub game's record to `record`.
void WriteRecorder(const fs::path& script, const fs::path& record)
{
  const std::string path = "'" + record.string() + "'";
  WriteScript(script, "{ pwd -P; for word in \"$@\"; do printf '%s\\n' \"$word\"; done; } > " +
                          path + ".tmp && mv " + path + ".tmp " + path);
}

class ProcessesPosixTest : public ::testing::Test {
 protected:
  // The stub game installed as `<folder>/orv.exe`, folder named in UTF-8.
  fs::path InstallGame(const std::string& folder)
  {
    const fs::path game = m_dir / folder;
    fs::create_directories(game);
    InstallStubGame(game / "orv.exe");
    return game;
  }

  std::uint32_t StartGame(const fs::path& game, const std::string& arguments)
  {
    const std::string folder = LauncherPath(game);
    const std::string program = folder + "\\orv.exe";
    return m_processes.Start(program.c_str(), ("\"" + program + "\" " + arguments).c_str(),
                             folder.c_str());
  }

  TempDir m_dir;
  posix::ProcessesPosix m_processes{(m_dir / "wine").string(), (m_dir / "opener").string()};
};

// --- Splitting ---

TEST(WindowsCommandLine, SplitsLikeTheWindowsRuntime)
{
  const struct {
    const char* line;
    Strings words;
  } cases[] = {
      {R"("C:\Program Files\Orv\orv.exe" /Launch -u:abc def -p:)",
       {R"(C:\Program Files\Orv\orv.exe)", "/Launch", "-u:abc", "def", "-p:"}},
      // The program's name knows no backslash rule and ends at its quote.
      {R"("C:\Orv\\" x)", {R"(C:\Orv\\)", "x"}},
      {R"("a"b c)", {"a", "b", "c"}},
      {R"(C:\Orv\orv.exe a\\b)", {R"(C:\Orv\orv.exe)", R"(a\\b)"}},
      {"p\ta \t b\t", {"p", "a", "b"}},
      {"", {}},
      // Backslashes before a quote: 2n+1 give a literal quote, 2n toggle.
      {R"(p a\"b a\\\"b "a\\" b)", {"p", R"(a"b)", R"(a\"b)", R"(a\)", "b"}},
      {R"(p \\\\")", {"p", R"(\\)"}},
      {R"(p "a ""b"" c" x""y "" "open)", {"p", R"(a "b" c)", "xy", "", "open"}},
      {R"(p ab"c d"e)", {"p", "abc de"}},
      // The second bytes of 表 (95 5C) and ソ (83 5C) are no backslashes.
      {R"(p "表" ソ")", {"p", "表", "ソ"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(posix::SplitWindowsCommandLine(c.line), c.words) << c.line;
  EXPECT_EQ(posix::SplitWindowsArguments(R"( "C:\a b\x.txt" -y)"),
            (Strings{R"(C:\a b\x.txt)", "-y"}));
}

// --- Starting the game ---

TEST_F(ProcessesPosixTest, TheGameGetsTheCommandLineWordsInItsFolderAndIsReaped)
{
  const fs::path game = InstallGame("Orv");
  // A blank inside the id splits it; an empty password still gives "-p:".
  ASSERT_EQ(StartGame(game, "/Launch -u:abc def -p:"), 0u);
  const auto record = WaitForFileLines(game / "launch_record.txt");
  ASSERT_TRUE(record);
  EXPECT_EQ(*record, (Strings{fs::canonical(game).string(), "/Launch", "-u:abc", "def", "-p:"}));
  // Without a reaper the exited game would stay behind as a zombie child.
  EXPECT_TRUE(AllChildrenGone());
}

TEST_F(ProcessesPosixTest, JapaneseFolderAndIdArriveAsUtf8)
{
  const fs::path game = InstallGame(Utf8("ゲーム表"));
  ASSERT_EQ(StartGame(game, "/Launch -u:表示ソ -p:pw"), 0u);
  const auto record = WaitForFileLines(game / "launch_record.txt");
  ASSERT_TRUE(record);
  EXPECT_EQ(*record,
            (Strings{fs::canonical(game).string(), "/Launch", Utf8("-u:表示ソ"), "-p:pw"}));
  EXPECT_EQ(StartGame(game, "-u:\x81"), err::kInvalidParameter);  // a lead byte alone
}

TEST_F(ProcessesPosixTest, RelativeProgramsAreFoundFromTheLauncherFolder)
{
  // The child enters the game folder before it runs anything; a relative
  // program path read from there would name Orv/Orv/orv.exe.
  const fs::path game = InstallGame("Orv");
  const ScopedCurrentDirectory inside(m_dir.path());
  ASSERT_EQ(m_processes.Start("Orv\\orv.exe", "orv.exe -a", "Orv"), 0u);
  ASSERT_TRUE(WaitForFileLines(game / "launch_record.txt"));
  fs::remove(game / "launch_record.txt");
  // Without an application the first word names the program.
  ASSERT_EQ(m_processes.Start(nullptr, "Orv\\orv.exe -b", "Orv"), 0u);
  const auto record = WaitForFileLines(game / "launch_record.txt");
  ASSERT_TRUE(record);
  EXPECT_EQ(*record, (Strings{fs::canonical(game).string(), "-b"}));
}

TEST_F(ProcessesPosixTest, FailuresAnswerWithWindowsErrorNumbers)
{
  const fs::path game = InstallGame("Orv");
  const std::string folder = LauncherPath(game);
  EXPECT_EQ(m_processes.Start((folder + "\\none.exe").c_str(), "none.exe", folder.c_str()),
            err::kFileNotFound);
  EXPECT_EQ(m_processes.Start((folder + "\\no\\orv.exe").c_str(), "orv.exe", folder.c_str()),
            err::kPathNotFound);
  const std::string program = folder + "\\orv.exe";
  EXPECT_EQ(m_processes.Start(program.c_str(), "orv.exe", (folder + "\\no").c_str()),
            err::kDirectoryInvalid);
  EXPECT_EQ(m_processes.Start(program.c_str(), "orv.exe", program.c_str()),
            err::kDirectoryInvalid);

  // A native program without permission to run is refused as such...
  fs::permissions(game / "orv.exe", fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(StartGame(game, "/Launch"), err::kAccessDenied);
  // ...while a file that is no program at all is a bad format, as on Windows,
  // whether or not it may be executed.
  WriteFile(game / "orv.exe", "not a program\n");
  EXPECT_EQ(StartGame(game, "/Launch"), err::kBadExeFormat);
  fs::permissions(game / "orv.exe", fs::perms::owner_all);
  EXPECT_EQ(StartGame(game, "/Launch"), err::kBadExeFormat);
  EXPECT_FALSE(fs::exists(game / "launch_record.txt"));
}

TEST_F(ProcessesPosixTest, WindowsProgramsRunThroughWine)
{
  const fs::path game = m_dir / "Orv";
  fs::create_directory(game);
  WriteFile(game / "orv.exe", std::string("MZ\x90\0\x03\0\0\0", 8));  // no execute bit
  WriteRecorder(m_dir / "wine", m_dir / "wine_record.txt");
  ASSERT_EQ(StartGame(game, "/Launch -u:abc -p:"), 0u);
  const auto record = WaitForFileLines(m_dir / "wine_record.txt");
  ASSERT_TRUE(record);
  const std::string real = fs::canonical(game).string();
  EXPECT_EQ(*record, (Strings{real, (game / "orv.exe").string(), "/Launch", "-u:abc", "-p:"}));

  fs::remove(m_dir / "wine");
  EXPECT_EQ(StartGame(game, "/Launch"), err::kFileNotFound);
}

TEST_F(ProcessesPosixTest, TheGameHoldsNoneOfTheLauncherDescriptors)
{
  // A listening socket inherited by the game would stay bound while it runs.
  constexpr int kHeld = 100;
  const int file = open("/dev/null", O_RDONLY);
  ASSERT_EQ(dup2(file, kHeld), kHeld);  // deliberately without close-on-exec
  close(file);
  const fs::path record = m_dir / "fd_record.txt";
  WriteScript(m_dir / "probe",
              "if [ -e /proc/$$/fd/100 ]; then echo held; else echo closed; fi > '" +
                  record.string() + ".tmp' && mv '" + record.string() + ".tmp' '" +
                  record.string() + "'");
  const std::string probe = LauncherPath(m_dir / "probe");
  const std::uint32_t started = m_processes.Start(probe.c_str(), "probe", nullptr);
  close(kHeld);
  ASSERT_EQ(started, 0u);
  EXPECT_EQ(WaitForFileLines(record), Strings{"closed"});
}

// --- Opening the home page ---

TEST_F(ProcessesPosixTest, ShellOpenHandsTheAddressToTheOpener)
{
  WriteRecorder(m_dir / "opener", m_dir / "open_record.txt");
  m_processes.ShellOpen("IExplore.exe", "https://host/path?a=1&b=2");
  const auto record = WaitForFileLines(m_dir / "open_record.txt");
  ASSERT_TRUE(record);
  EXPECT_EQ(Strings(record->begin() + 1, record->end()), Strings{"https://host/path?a=1&b=2"});

  // No opener installed: nothing happens, and nothing is left behind.
  posix::ProcessesPosix bare("wine", (m_dir / "missing").string());
  bare.ShellOpen("iexplore.exe", "https://host/");
  bare.ShellOpen("no-such-program.exe", "x");
  EXPECT_TRUE(AllChildrenGone());
}

}  // namespace
}  // namespace orv::test
