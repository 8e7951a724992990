#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

#include "Win32TestSupport.h"
#include "platform/ErrorCodes.h"
#include "platform/win32/ClockWin32.h"
#include "platform/win32/DynamicLibraryWin32.h"
#include "platform/win32/LocaleWin32.h"
#include "platform/win32/ProcessWin32.h"
#include "platform/win32/VersionResourceWin32.h"

namespace orv::test::win32 {
namespace {

std::string OwnPath()
{
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  return path;
}

TEST(DynamicLibrariesWin32, ABareNameIsFoundBesideTheProgram)
{
  orv::win32::DynamicLibrariesWin32 libraries;
  LibraryHandle unpack = libraries.Load("unpack.dll");
  ASSERT_NE(unpack, nullptr);
  EXPECT_NE(libraries.Symbol(unpack, "Pack"), nullptr);
  EXPECT_NE(libraries.Symbol(unpack, "PackFree"), nullptr);
  EXPECT_EQ(libraries.Symbol(unpack, "NoSuchExport"), nullptr);
  EXPECT_EQ(libraries.Symbol(nullptr, "Pack"), nullptr);
  libraries.Free(unpack);
  libraries.Free(nullptr);
  EXPECT_EQ(libraries.Load("no-such-library.dll"), nullptr);
  // The log file's cause line: the system's number for a module not found.
  EXPECT_EQ(libraries.LoadFailure().rfind("LoadLibrary error 126", 0), 0u)
      << libraries.LoadFailure();
}

TEST(VersionResourceWin32, StringsAreFoundThroughTheTranslationTable)
{
  orv::win32::VersionResourceWin32 versions;
  std::vector<std::uint8_t> block;
  ASSERT_TRUE(versions.Read(OwnPath().c_str(), block));

  const void* value = nullptr;
  std::size_t size = 0;
  ASSERT_TRUE(versions.Query(block, "\\VarFileInfo\\Translation", &value, &size));
  ASSERT_EQ(size, 4u);
  const auto* pair = static_cast<const std::uint16_t*>(value);
  EXPECT_EQ(pair[0], 0x0411);
  EXPECT_EQ(pair[1], 0x03A4);

  ASSERT_TRUE(versions.Query(block, "\\StringFileInfo\\041103a4\\ProductName", &value, &size));
  EXPECT_STREQ(static_cast<const char*>(value), "Orv backend tests");
  EXPECT_GE(size, 17u);
  EXPECT_FALSE(versions.Query(block, "\\StringFileInfo\\041103a4\\Comments", &value, &size));

  TempFolder dir;
  WriteWholeFile(dir / "plain.dll", "not a program");
  EXPECT_FALSE(versions.Read((dir / "plain.dll").c_str(), block));
  EXPECT_FALSE(versions.Read((dir / "missing.dll").c_str(), block));
  EXPECT_FALSE(versions.Query(block, "\\VarFileInfo\\Translation", &value, &size));
}

TEST(LocaleWin32, TheTestRunnerIsJapaneseAndTheRuntimeFollows)
{
  orv::win32::LocaleWin32 locale;
  EXPECT_EQ(locale.UserDefaultLocaleId(), kJapaneseLocaleId);
  locale.UseJapaneseProcessLocale();
  const std::string name = std::setlocale(LC_ALL, nullptr);
  EXPECT_NE(name.find("932"), std::string::npos) << name;
  std::setlocale(LC_ALL, "C");
}

TEST(ClockWin32, MillisecondsFollowTheWallClock)
{
  orv::win32::ClockWin32 clock;
  clock.BeginTimerResolution();
  const std::uint32_t before = clock.Milliseconds();
  Sleep(100);
  const std::uint32_t waited = clock.Milliseconds() - before;
  clock.EndTimerResolution();
  EXPECT_GE(waited, 90u);
  EXPECT_LT(waited, 1000u);
}

TEST(ProcessesWin32, StartRunsTheCommandLineInTheWorkingDirectory)
{
  TempFolder dir;
  char system[MAX_PATH];
  GetSystemDirectoryA(system, sizeof system);
  const std::string cmd = std::string(system) + "\\cmd.exe";
  orv::win32::ProcessesWin32 processes;
  // The program's own name comes first, quoted, as the launcher forms it.
  const std::string line = "\"" + cmd + "\" /c cd > where.txt";
  ASSERT_EQ(processes.Start(cmd.c_str(), line.c_str(), dir.path().c_str()), 0u);
  std::string where;
  for (int tries = 0; tries < 100 && where.find('\n') == std::string::npos; ++tries) {
    Sleep(100);
    where = ReadWholeFile(dir / "where.txt");
  }
  EXPECT_EQ(where.substr(0, where.find_first_of("\r\n")), dir.path());
  Sleep(200);  // let cmd.exe let go of the folder before it is removed

  EXPECT_EQ(processes.Start((dir / "orv.exe").c_str(), "\"orv.exe\" /Launch", dir.path().c_str()),
            err::kFileNotFound);
}

}  // namespace
}  // namespace orv::test::win32
