#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/posix/Cp932.h"
#include "platform/posix/FileSystemPosix.h"
#include "support/TempDir.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;

// A temporary folder spoken to as the launcher speaks: Shift_JIS paths with `\`.
class FileSystemPosixTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& relative) const
  {
    std::string base;
    EXPECT_TRUE(posix::Utf8ToCp932(m_dir.path().string(), base));
    return relative.empty() ? base : base + "\\" + relative;
  }
  fs::path Native(const std::string& relative) const { return m_dir / relative; }

  // Name → attributes of a listing, which must succeed.
  std::map<std::string, std::uint32_t> List(const std::string& pattern)
  {
    std::vector<FoundFile> found;
    EXPECT_EQ(m_files.FindFiles(Path(pattern).c_str(), found), 0u) << pattern;
    std::map<std::string, std::uint32_t> names;
    for (const FoundFile& file : found)
      names[file.name] = file.attributes;
    return names;
  }

  std::vector<std::string> Names(const std::string& pattern)
  {
    std::vector<std::string> names;
    for (const auto& [name, attributes] : List(pattern))
      names.push_back(name);
    return names;
  }

  TempDir m_dir;
  posix::FileSystemPosix m_files;
};

using Strings = std::vector<std::string>;

// --- Listing ---

TEST_F(FileSystemPosixTest, FindFilesListsInTheOrderWindowsDoes)
{
  // Letters fold to upper case, so '_' (5F) sorts after them; double-byte
  // names come after every single-byte one.
  for (const char* name : {"b.dfl", "\xE8\xA1\xA8.dfl", "_x.dfl", "A.dfl"})
    WriteFile(Native(name), "");
  std::vector<FoundFile> found;
  ASSERT_EQ(m_files.FindFiles(Path("*.dfl").c_str(), found), 0u);
  Strings order;
  for (const FoundFile& file : found)
    order.push_back(file.name);
  EXPECT_EQ(order, (Strings{"A.dfl", "b.dfl", "_x.dfl", "表.dfl"}));
}

TEST_F(FileSystemPosixTest, FindFilesMatchesLikeWindowsAndReportsAttributes)
{
  WriteFile(Native("a.dfl"), "");
  WriteFile(Native("B.DFL"), "");
  WriteFile(Native("noext"), "");
  WriteFile(Native("ro.txt"), "");
  WriteFile(Native("\xE8\xA1\xA8.dfl"), "");  // 表.dfl
  WriteFile(Native("\xE3\x83\x82.txt"), "");  // ヂ.txt, 83 61 in Shift_JIS
  fs::create_directory(Native("sub"));
  ASSERT_EQ(m_files.SetAttributes(Path("ro.txt").c_str(), kAttributeReadOnly), 0u);

  // "*.*" lists every name, those without a dot and the two folder entries too.
  const auto all = List("*.*");
  EXPECT_EQ(all.size(), 9u);
  EXPECT_EQ(all.at("."), kAttributeDirectory);
  EXPECT_EQ(all.at(".."), kAttributeDirectory);
  EXPECT_EQ(all.at("sub"), kAttributeDirectory);
  EXPECT_EQ(all.at("noext"), kAttributeNormal);
  EXPECT_EQ(all.at("ro.txt"), kAttributeReadOnly);
  EXPECT_EQ(all.at("表.dfl"), kAttributeNormal);
  EXPECT_EQ(List("*"), all);

  EXPECT_EQ(Names("*.dfl"), (Strings{"B.DFL", "a.dfl", "表.dfl"}));
  EXPECT_EQ(Names("?.DfL"), (Strings{"B.DFL", "a.dfl", "表.dfl"}));  // 表 is one character
  EXPECT_EQ(Names("noext.*"), Strings{"noext"});
  // Only single-byte letters are folded: "ア" is 83 41, "ヂ" 83 61.
  std::vector<FoundFile> found;
  EXPECT_EQ(m_files.FindFiles(Path("ア.txt").c_str(), found), err::kFileNotFound);

  EXPECT_EQ(m_files.FindFiles(Path("*.xyz").c_str(), found), err::kFileNotFound);
  EXPECT_TRUE(found.empty());
  EXPECT_EQ(m_files.FindFiles(Path("missing\\*.*").c_str(), found), err::kPathNotFound);

  ASSERT_EQ(m_files.SetAttributes(Path("ro.txt").c_str(), kAttributeNormal), 0u);
  EXPECT_EQ(List("ro.txt").at("ro.txt"), kAttributeNormal);
}

// --- Folders ---

TEST_F(FileSystemPosixTest, MakeFolderCreatesOneLevelOnly)
{
  EXPECT_EQ(m_files.MakeFolder(Path("new").c_str()), 0u);
  EXPECT_TRUE(m_files.IsFolder(Path("new").c_str()));
  EXPECT_EQ(m_files.MakeFolder(Path("new").c_str()), err::kAlreadyExists);
  EXPECT_EQ(m_files.MakeFolder(Path("missing\\new").c_str()), err::kPathNotFound);
  EXPECT_FALSE(fs::exists(Native("missing")));
}

TEST_F(FileSystemPosixTest, MakePathCreatesEveryFolderUpToTheLastSeparator)
{
  EXPECT_EQ(m_files.MakePath(Path("a\\b\\c\\file.txt").c_str()), 0u);
  EXPECT_TRUE(fs::is_directory(Native("a/b/c")));
  EXPECT_FALSE(fs::exists(Native("a/b/c/file.txt")));
  EXPECT_EQ(m_files.MakePath(Path("a\\b\\d\\").c_str()), 0u);  // existing levels are fine
  EXPECT_TRUE(fs::is_directory(Native("a/b/d")));

  WriteFile(Native("plain"), "");
  EXPECT_NE(m_files.MakePath(Path("plain\\sub\\file.txt").c_str()), 0u);
  EXPECT_FALSE(m_files.IsFolder(Path("plain").c_str()));
}

TEST_F(FileSystemPosixTest, AShiftJisSecondByteBackslashIsPartOfTheName)
{
  // "ソ" is 83 5C and "表" 95 5C: each is one name, not a name and a separator.
  EXPECT_EQ(m_files.MakeFolder(Path("ソ").c_str()), 0u);
  EXPECT_EQ(m_files.MakePath(Path("ソ\\表\\x.txt").c_str()), 0u);
  EXPECT_TRUE(fs::is_directory(Native("\xE3\x82\xBD/\xE8\xA1\xA8")));
  EXPECT_TRUE(m_files.IsFolder(Path("ソ\\表").c_str()));
  WriteFile(Native("\xE3\x82\xBD/\xE8\xA1\xA8/\xE3\x82\xBD.dfl"), "");
  EXPECT_EQ(Names("ソ\\表\\*.dfl"), Strings{"ソ.dfl"});
  EXPECT_EQ(Names("ソ\\*.*"), (Strings{".", "..", "表"}));
}

TEST_F(FileSystemPosixTest, RemoveFileAndRemoveFolderEachTakeTheirOwnKind)
{
  fs::create_directory(Native("full"));
  WriteFile(Native("full/f"), "");
  EXPECT_EQ(m_files.RemoveFile(Path("full").c_str()), err::kAccessDenied);
  EXPECT_EQ(m_files.RemoveFolder(Path("full").c_str()), err::kDirNotEmpty);
  EXPECT_EQ(m_files.RemoveFile(Path("full\\f").c_str()), 0u);
  EXPECT_EQ(m_files.RemoveFolder(Path("full").c_str()), 0u);
  EXPECT_EQ(m_files.RemoveFile(Path("full\\f").c_str()), err::kFileNotFound);
}

// --- Copying and moving ---

TEST_F(FileSystemPosixTest, CopyFileOverReplacesButRefusesAReadOnlyDestination)
{
  WriteFile(Native("new"), "new");
  WriteFile(Native("old"), "an older and longer content");
  EXPECT_EQ(m_files.CopyFileOver(Path("new").c_str(), Path("old").c_str(), false), 0u);
  EXPECT_EQ(ReadFile(Native("old")), "new");
  EXPECT_EQ(m_files.CopyFileOver(Path("new").c_str(), Path("fresh").c_str(), true), 0u);
  EXPECT_EQ(ReadFile(Native("fresh")), "new");

  // Refused by the mode bits even for root, whom Linux would let write.
  WriteFile(Native("locked"), "locked");
  ASSERT_EQ(m_files.SetAttributes(Path("locked").c_str(), kAttributeReadOnly), 0u);
  EXPECT_EQ(m_files.CopyFileOver(Path("new").c_str(), Path("locked").c_str(), false),
            err::kAccessDenied);
  EXPECT_EQ(ReadFile(Native("locked")), "locked");

  EXPECT_EQ(m_files.CopyFileOver(Path("missing").c_str(), Path("old").c_str(), false),
            err::kFileNotFound);
  EXPECT_EQ(m_files.CopyFileOver(Path("new").c_str(), Path("missing\\x").c_str(), false),
            err::kPathNotFound);
  EXPECT_EQ(ReadFile(Native("old")), "new");
  // Nothing beside the files: no half-copied leftovers.
  EXPECT_EQ(Names("*.*"), (Strings{".", "..", "fresh", "locked", "new", "old"}));
}

TEST_F(FileSystemPosixTest, CopyFileOverOntoItselfKeepsTheFile)
{
  // Without the check the destination was truncated before the source was read.
  WriteFile(Native("same"), "content");
  EXPECT_NE(m_files.CopyFileOver(Path("same").c_str(), Path("same").c_str(), false), 0u);
  EXPECT_EQ(ReadFile(Native("same")), "content");
}

TEST_F(FileSystemPosixTest, ACopyThatFailsHalfWayLeavesTheDestinationAsItWas)
{
  // Reading a process's own memory file from offset 0 fails after it opened:
  // the copy fails after the destination would have been emptied.
  WriteFile(Native("old"), "old");
  EXPECT_NE(m_files.CopyFileOver("/proc/self/mem", Path("old").c_str(), false), 0u);
  EXPECT_EQ(ReadFile(Native("old")), "old");
  EXPECT_EQ(Names("*.*"), (Strings{".", "..", "old"}));
}

TEST_F(FileSystemPosixTest, MoveFileToRefusesAnExistingDestinationAndMoveFileOverReplacesIt)
{
  WriteFile(Native("a"), "A");
  WriteFile(Native("b"), "B");
  EXPECT_EQ(m_files.MoveFileTo(Path("a").c_str(), Path("b").c_str()), err::kAlreadyExists);
  EXPECT_EQ(ReadFile(Native("a")), "A");
  EXPECT_EQ(ReadFile(Native("b")), "B");

  EXPECT_EQ(m_files.MoveFileTo(Path("a").c_str(), Path("c").c_str()), 0u);
  EXPECT_FALSE(fs::exists(Native("a")));
  EXPECT_EQ(ReadFile(Native("c")), "A");
  EXPECT_EQ(m_files.MoveFileTo(Path("a").c_str(), Path("d").c_str()), err::kFileNotFound);

  EXPECT_EQ(m_files.MoveFileOver(Path("c").c_str(), Path("b").c_str()), 0u);
  EXPECT_FALSE(fs::exists(Native("c")));
  EXPECT_EQ(ReadFile(Native("b")), "A");

  EXPECT_EQ(m_files.FlushFile(Path("b").c_str()), 0u);
  EXPECT_EQ(m_files.FlushFile(Path("c").c_str()), err::kFileNotFound);
  EXPECT_EQ(m_files.FlushFiles({Path("a"), Path("b")}), err::kFileNotFound);
  WriteFile(Native("e"), "E");
  EXPECT_EQ(m_files.FlushFiles({Path("b"), Path("e")}), 0u);
  EXPECT_EQ(m_files.FlushFolder(Path("").c_str()), 0u);
}

}  // namespace
}  // namespace orv::test
