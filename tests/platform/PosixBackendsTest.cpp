#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <iterator>

#include "platform/posix/Cp932.h"
#include "platform/posix/DynamicLibraryPosix.h"
#include "platform/posix/FileSystemPosix.h"
#include "platform/posix/LocalePosix.h"
#include "platform/posix/ProfilePosix.h"
#include "support/TempDir.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;

// --- Paths ---

TEST(PosixPaths, BackslashesBecomeSlashesButNotInsideDoubleByteCharacters)
{
  // "表" is 95 5C in Shift_JIS: its second byte is a backslash.
  std::string native;
  ASSERT_TRUE(posix::ToNativePath("C:\\ゲーム\\表\\orv.exe", native));
  // The expected UTF-8 is spelt out: literals in this file become Shift_JIS.
  EXPECT_EQ(native, "C:/\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0/\xE8\xA1\xA8/orv.exe");
}

TEST(PosixPaths, BytesWithoutAShiftJisMeaningAreRefused)
{
  std::string out;
  EXPECT_FALSE(posix::Cp932ToUtf8("\x81", out));   // a lead byte alone
  EXPECT_FALSE(posix::Utf8ToCp932("\xF0\x9F\x98\x80", out));  // no Shift_JIS form
  ASSERT_TRUE(posix::Utf8ToCp932("\xE8\xA1\xA8", out));
  EXPECT_EQ(out, "表");
}

TEST(PosixFiles, FilesAreOpenedByTheirShiftJisNames)
{
  TempDir dir;
  WriteFile(dir.path() / "\xE8\xA1\xA8.txt", "found");
  std::string folder;
  ASSERT_TRUE(posix::Utf8ToCp932(dir.path().string(), folder));
  posix::FileSystemPosix files;
  std::FILE* file = files.OpenFile((folder + "\\表.txt").c_str(), "rb");
  ASSERT_NE(file, nullptr);
  char text[8] = {};
  EXPECT_EQ(std::fread(text, 1, 5, file), 5u);
  std::fclose(file);
  EXPECT_STREQ(text, "found");
}

TEST(PosixFiles, AFolderIsNotAFile)
{
  TempDir dir;
  fs::create_directory(dir.path() / "orv.exe");
  posix::FileSystemPosix files;
  EXPECT_EQ(files.OpenFile((dir.path() / "orv.exe").c_str(), "r"), nullptr);
}

TEST(PosixFiles, CurrentDirectoryComesBackInShiftJis)
{
  TempDir dir;
  const fs::path japanese = dir.path() / "\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0";  // ゲーム
  fs::create_directory(japanese);
  ScopedCurrentDirectory inside(japanese);
  posix::FileSystemPosix files;
  std::string current;
  ASSERT_TRUE(files.CurrentDirectory(current));
  EXPECT_EQ(current, dir.path().string() + "/ゲーム");
}

// --- Locale ---

TEST(PosixLocale, JapanIsRecognisedWhateverTheCodeSet)
{
  EXPECT_EQ(posix::LocaleIdFromName("ja_JP.UTF-8"), 0x0411u);
  EXPECT_EQ(posix::LocaleIdFromName("ja_JP"), 0x0411u);
  EXPECT_EQ(posix::LocaleIdFromName("ja_JP.eucJP@mod"), 0x0411u);
  EXPECT_EQ(posix::LocaleIdFromName("en_US.UTF-8"), 0x0409u);
  EXPECT_EQ(posix::LocaleIdFromName("C"), 0x0409u);
  EXPECT_EQ(posix::LocaleIdFromName("ja"), 0x0409u);
  EXPECT_EQ(posix::LocaleIdFromName("ko_KR.UTF-8"), 0x0412u);
}

// --- Libraries ---

TEST(PosixLibraries, BareDllNamesMapToSharedObjects)
{
  EXPECT_EQ(posix::LinuxLibraryName("unpack.dll"), "libunpack.so");
  EXPECT_EQ(posix::LinuxLibraryName("unpack.DLL"), "libunpack.so");
  EXPECT_EQ(posix::LinuxLibraryName("/opt/plugin.opg"), "");
  EXPECT_EQ(posix::LinuxLibraryName("dir/unpack.dll"), "");
  EXPECT_EQ(posix::LinuxLibraryName(".dll"), "");
}

// --- Profile files ---

TEST(PosixProfile, WriteReplacesTheFileWholeAndLeavesNoTemporary)
{
  TempDir dir;
  const fs::path file = dir.path() / "OLConfig.ini";
  posix::ProfilePosix profiles;
  ASSERT_TRUE(profiles.WriteString("Conf", "A", "1", file.c_str()));
  ASSERT_TRUE(profiles.WriteString("Conf", "B", "2", file.c_str()));
  EXPECT_EQ(ReadFile(file), "[Conf]\r\nA=1\r\nB=2\r\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(PosixProfile, AFileThatCannotBeReadIsNeverOverwritten)
{
  TempDir dir;
  const fs::path file = dir.path() / "OLConfig.ini";
  fs::create_directory(file);  // there, but no file to read
  posix::ProfilePosix profiles;
  EXPECT_FALSE(profiles.WriteString("Conf", "A", "1", file.c_str()));
  EXPECT_TRUE(fs::is_directory(file));
  EXPECT_EQ(profiles.GetString("Conf", "A", "default", 256, file.c_str()), "default");
  EXPECT_EQ(profiles.GetInt("Conf", "A", 16777215, file.c_str()), 16777215u);
}

}  // namespace
}  // namespace orv::test
