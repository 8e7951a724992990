#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>

#include "platform/posix/Cp932.h"
#include "platform/posix/DynamicLibraryPosix.h"
#include "platform/posix/FileSystemPosix.h"
#include "platform/posix/LocalePosix.h"
#include "platform/posix/ProfilePosix.h"
#include "platform/posix/VersionResourcePosix.h"
#include "support/PluginFolder.h"
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

// --- Version information ---

// The test plugin built with orv_version_info; "plain" is built without.
fs::path TestPlugin(const std::string& variant)
{
  return ExecutableFolder() / "test_plugins" / (variant + ".opg");
}

std::string Text(const void* value)
{
  return static_cast<const char*>(value);
}

TEST(PosixVersions, TheStringsOfALibraryAreFoundThroughItsTranslation)
{
  posix::VersionResourcePosix versions;
  std::vector<std::uint8_t> block;
  ASSERT_TRUE(versions.Read(LauncherPath(TestPlugin("versioned")).c_str(), block));

  const void* value = nullptr;
  std::size_t size = 0;
  ASSERT_TRUE(versions.Query(block, "\\VarFileInfo\\Translation", &value, &size));
  ASSERT_EQ(size, 4u);
  std::uint16_t pair[2];
  std::memcpy(pair, value, sizeof pair);
  EXPECT_EQ(pair[0], 0x0411);
  EXPECT_EQ(pair[1], 0x04B0);

  ASSERT_TRUE(versions.Query(block, "\\StringFileInfo\\041104b0\\Comments", &value, &size));
  EXPECT_EQ(Text(value), "版情報で説明されるプラグイン");  // Shift_JIS, as in the launcher
  EXPECT_EQ(size, Text(value).size() + 1);
  ASSERT_TRUE(versions.Query(block, "\\StringFileInfo\\041104B0\\fileversion", &value, &size));
  EXPECT_EQ(Text(value), "0, 3, 3, 4");
  EXPECT_FALSE(versions.Query(block, "\\StringFileInfo\\041104b0\\SpecialBuild", &value, &size));
  EXPECT_FALSE(versions.Query(block, "\\StringFileInfo\\040904b0\\Comments", &value, &size));
  EXPECT_FALSE(versions.Query(block, "\\StringFileInfo\\041104b0Comments", &value, &size));
}

TEST(PosixVersions, FilesWithoutTheSectionHaveNone)
{
  TempDir dir;
  WriteFile(dir.path() / "text.opg", "not a library");
  posix::VersionResourcePosix versions;
  std::vector<std::uint8_t> block{1, 2, 3};
  EXPECT_FALSE(versions.Read(LauncherPath(TestPlugin("plain")).c_str(), block));
  EXPECT_TRUE(block.empty());
  EXPECT_FALSE(versions.Read(LauncherPath(dir.path() / "text.opg").c_str(), block));
  EXPECT_FALSE(versions.Read(LauncherPath(dir.path() / "missing.opg").c_str(), block));
  EXPECT_FALSE(versions.Read(LauncherPath(dir.path()).c_str(), block));
}

// Any file can lie in the Plugin folder under a plugin's name: a damaged one
// reads as having no version information, and nothing is read outside it
// (the sanitizers watch).
TEST(PosixVersions, ADamagedFileReadsAsHavingNone)
{
  const std::string good = ReadFile(TestPlugin("versioned"));
  const std::size_t table = good.find("OrvVersion1");
  const std::size_t tableEnd = good.find(std::string("Rev.7\0\0", 7), table);
  ASSERT_NE(table, std::string::npos);
  ASSERT_NE(tableEnd, std::string::npos);

  const auto put = [](std::string bytes, std::size_t at, const std::string& what) {
    return bytes.replace(at, what.size(), what);
  };
  const struct {
    const char* fault;
    std::string bytes;
  } damaged[] = {
      {"cut-inside-section-headers", good.substr(0, good.size() - 100)},
      {"cut-after-elf-header", good.substr(0, 70)},
      {"section-headers-past-the-end",
       put(good, 0x28, std::string("\xF0\xFF\xFF\xFF\xFF\xFF\xFF\x7F", 8))},
      {"name-table-index-out-of-range", put(good, 0x3E, std::string("\xFF\x7F", 2))},
      {"wrong-section-header-size", put(good, 0x3A, std::string("\x10\x00", 2))},
      {"unknown-format", put(good, table, "OrvVersion9")},
      {"translation-not-hexadecimal", put(good, table + 24, "zz")},
      {"last-value-unterminated", put(good, tableEnd, "Rev.7xx")},
  };
  TempDir dir;
  posix::VersionResourcePosix versions;
  for (const auto& file : damaged) {
    const fs::path path = dir.path() / (std::string(file.fault) + ".opg");
    WriteFile(path, file.bytes);
    std::vector<std::uint8_t> block;
    EXPECT_FALSE(versions.Read(LauncherPath(path).c_str(), block)) << file.fault;
  }
  // The same copy undamaged reads.
  WriteFile(dir.path() / "good.opg", good);
  std::vector<std::uint8_t> block;
  EXPECT_TRUE(versions.Read(LauncherPath(dir.path() / "good.opg").c_str(), block));
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
