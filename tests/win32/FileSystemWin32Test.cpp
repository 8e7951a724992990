#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Win32TestSupport.h"
#include "platform/ErrorCodes.h"
#include "platform/win32/FileSystemWin32.h"

namespace orv::test::win32 {
namespace {

using Strings = std::vector<std::string>;

class FileSystemWin32Test : public ::testing::Test {
 protected:
  std::string Path(const std::string& relative) const { return m_dir / relative; }

  std::vector<FoundFile> List(const std::string& pattern)
  {
    std::vector<FoundFile> found;
    EXPECT_EQ(m_files.FindFiles(Path(pattern).c_str(), found), 0u) << pattern;
    return found;
  }

  Strings Names(const std::string& pattern)
  {
    Strings names;
    for (const FoundFile& file : List(pattern))
      names.push_back(file.name);
    return names;
  }

  TempFolder m_dir;
  orv::win32::FileSystemWin32 m_files;
};

// --- Listing ---

TEST_F(FileSystemWin32Test, FindFilesListsInNtfsOrderWithAttributes)
{
  WriteWholeFile(Path("b.dfl"), "");
  WriteWholeFile(Path("A.DFL"), "");
  WriteWholeFile(Path("_x.dfl"), "");
  WriteWholeFile(Path("noext"), "");
  ASSERT_EQ(m_files.MakeFolder(Path("c").c_str()), 0u);
  WriteWholeFile(Path("ro.txt"), "");
  ASSERT_EQ(m_files.SetAttributes(Path("ro.txt").c_str(), kAttributeReadOnly), 0u);

  // Letters compare as upper case, so '_' (5F) comes after every letter.
  EXPECT_EQ(Names("*.*"), (Strings{".", "..", "A.DFL", "b.dfl", "c", "noext", "ro.txt", "_x.dfl"}));
  EXPECT_EQ(Names("*"), Names("*.*"));
  EXPECT_EQ(Names("*.dfl"), (Strings{"A.DFL", "b.dfl", "_x.dfl"}));
  EXPECT_EQ(Names("?.Dfl"), (Strings{"A.DFL", "b.dfl"}));

  for (const FoundFile& file : List("*.*")) {
    const bool folder = file.name == "." || file.name == ".." || file.name == "c";
    EXPECT_EQ((file.attributes & kAttributeDirectory) != 0, folder) << file.name;
    EXPECT_EQ((file.attributes & kAttributeReadOnly) != 0, file.name == "ro.txt") << file.name;
  }
  ASSERT_EQ(m_files.SetAttributes(Path("ro.txt").c_str(), kAttributeNormal), 0u);
  EXPECT_EQ(List("ro.txt").at(0).attributes & kAttributeReadOnly, 0u);

  std::vector<FoundFile> found;
  EXPECT_EQ(m_files.FindFiles(Path("*.xyz").c_str(), found), err::kFileNotFound);
  EXPECT_TRUE(found.empty());
  EXPECT_EQ(m_files.FindFiles(Path("missing\\*.*").c_str(), found), err::kPathNotFound);
}

// --- Folders ---

TEST_F(FileSystemWin32Test, FoldersAreMadeOneOrManyAndRemovedOnlyWhenEmpty)
{
  EXPECT_EQ(m_files.MakeFolder(Path("new").c_str()), 0u);
  EXPECT_TRUE(m_files.IsFolder(Path("new").c_str()));
  EXPECT_EQ(m_files.MakeFolder(Path("new").c_str()), err::kAlreadyExists);
  EXPECT_EQ(m_files.MakeFolder(Path("missing\\new").c_str()), err::kPathNotFound);

  EXPECT_EQ(m_files.MakePath(Path("a\\b\\c\\file.txt").c_str()), 0u);
  EXPECT_TRUE(m_files.IsFolder(Path("a\\b\\c").c_str()));
  EXPECT_FALSE(Exists(Path("a\\b\\c\\file.txt")));
  EXPECT_EQ(m_files.MakePath(Path("a\\b\\d\\").c_str()), 0u);
  EXPECT_TRUE(m_files.IsFolder(Path("a\\b\\d").c_str()));

  WriteWholeFile(Path("a\\b\\c\\file.txt"), "x");
  EXPECT_FALSE(m_files.IsFolder(Path("a\\b\\c\\file.txt").c_str()));
  EXPECT_EQ(m_files.RemoveFile(Path("a\\b\\c").c_str()), err::kAccessDenied);
  EXPECT_EQ(m_files.RemoveFolder(Path("a\\b\\c").c_str()), err::kDirNotEmpty);
  EXPECT_EQ(m_files.RemoveFile(Path("a\\b\\c\\file.txt").c_str()), 0u);
  EXPECT_EQ(m_files.RemoveFile(Path("a\\b\\c\\file.txt").c_str()), err::kFileNotFound);
  EXPECT_EQ(m_files.RemoveFolder(Path("a\\b\\c").c_str()), 0u);
  EXPECT_FALSE(Exists(Path("a\\b\\c")));
}

TEST_F(FileSystemWin32Test, MakePathFailsWhereAFileStandsForAFolder)
{
  // Without the check this answered success for a folder that was a file.
  WriteWholeFile(Path("plain"), "");
  EXPECT_EQ(m_files.MakePath(Path("plain\\file.txt").c_str()), err::kPathNotFound);
  EXPECT_NE(m_files.MakePath(Path("plain\\sub\\file.txt").c_str()), 0u);
  EXPECT_FALSE(m_files.IsFolder(Path("plain").c_str()));
}

TEST_F(FileSystemWin32Test, ShiftJisNamesRoundTripAndTheirSecondByteIsNoSeparator)
{
  ORV_SKIP_WITHOUT_JAPANESE_NAMES();
  // "ソ" is 83 5C and "表" 95 5C: each is one name, not a name and a separator.
  ASSERT_EQ(m_files.MakeFolder(Path("テスト").c_str()), 0u);
  EXPECT_EQ(m_files.MakePath(Path("テスト\\ソ\\表\\x.txt").c_str()), 0u);
  EXPECT_TRUE(m_files.IsFolder(Path("テスト\\ソ\\表").c_str()));
  WriteWholeFile(Path("テスト\\ソ\\表\\ソ.dfl"), "so");
  EXPECT_EQ(Names("テスト\\ソ\\表\\*.dfl"), Strings{"ソ.dfl"});
  EXPECT_EQ(Names("テスト\\*.*"), (Strings{".", "..", "ソ"}));

  char previous[MAX_PATH];
  ASSERT_NE(GetCurrentDirectoryA(sizeof previous, previous), 0u);
  ASSERT_TRUE(SetCurrentDirectoryA(Path("テスト\\ソ").c_str()));
  std::string current;
  const bool answered = m_files.CurrentDirectory(current);
  SetCurrentDirectoryA(previous);
  ASSERT_TRUE(answered);
  EXPECT_EQ(current, Path("テスト\\ソ"));
}

TEST_F(FileSystemWin32Test, ACurrentFolderLongerThanMaxPathIsStillNamed)
{
  // The launcher needs the whole path to say that it is too long.
  std::string folder = m_dir / "";
  std::vector<std::wstring> made;
  // The ANSI calls of the temporary folder's clean-up cannot reach so deep.
  struct RemoveDeepest {
    std::vector<std::wstring>& made;
    ~RemoveDeepest()
    {
      for (auto level = made.rbegin(); level != made.rend(); ++level)
        if (!RemoveDirectoryW(level->c_str()))
          ADD_FAILURE() << "cannot remove a level: " << GetLastError();
    }
  } removeDeepest{made};
  while (folder.size() < MAX_PATH + 20) {
    folder += std::string(40, 'l') + "\\";
    made.emplace_back(folder.begin(), folder.end());
    if (!CreateDirectoryW(made.back().c_str(), nullptr)) {
      made.pop_back();
      GTEST_SKIP() << "this system makes no folder path of " << folder.size() << " characters";
    }
  }
  char previous[MAX_PATH];
  ASSERT_NE(GetCurrentDirectoryA(sizeof previous, previous), 0u);
  if (!SetCurrentDirectoryW(std::wstring(folder.begin(), folder.end()).c_str()))
    GTEST_SKIP() << "this system keeps the current folder below MAX_PATH";
  std::string current;
  const bool answered = m_files.CurrentDirectory(current);
  SetCurrentDirectoryA(previous);
  ASSERT_TRUE(answered);
  EXPECT_EQ(current + "\\", folder);
}

// --- Files ---

TEST_F(FileSystemWin32Test, OpenFileTakesFilesButNotFolders)
{
  WriteWholeFile(Path("file.txt"), "found");
  EXPECT_TRUE(FileReadable(m_files, Path("file.txt").c_str()));
  ASSERT_EQ(m_files.MakeFolder(Path("orv.exe").c_str()), 0u);
  EXPECT_FALSE(FileReadable(m_files, Path("orv.exe").c_str()));
  EXPECT_FALSE(FileReadable(m_files, Path("missing").c_str()));
}

TEST_F(FileSystemWin32Test, CopyFileOverReplacesButNotAReadOnlyDestinationNorItself)
{
  WriteWholeFile(Path("new"), "new");
  WriteWholeFile(Path("old"), "an older and longer content");
  EXPECT_EQ(m_files.CopyFileOver(Path("new").c_str(), Path("old").c_str(), false), 0u);
  EXPECT_EQ(ReadWholeFile(Path("old")), "new");
  EXPECT_EQ(m_files.CopyFileOver(Path("new").c_str(), Path("fresh").c_str(), true), 0u);
  EXPECT_EQ(ReadWholeFile(Path("fresh")), "new");

  WriteWholeFile(Path("locked"), "locked");
  ASSERT_EQ(m_files.SetAttributes(Path("locked").c_str(), kAttributeReadOnly), 0u);
  EXPECT_EQ(m_files.CopyFileOver(Path("new").c_str(), Path("locked").c_str(), false),
            err::kAccessDenied);
  EXPECT_EQ(ReadWholeFile(Path("locked")), "locked");

  EXPECT_EQ(m_files.CopyFileOver(Path("missing").c_str(), Path("old").c_str(), false),
            err::kFileNotFound);
  EXPECT_EQ(m_files.CopyFileOver(Path("new").c_str(), Path("missing\\x").c_str(), false),
            err::kPathNotFound);
  EXPECT_NE(m_files.CopyFileOver(Path("old").c_str(), Path("old").c_str(), false), 0u);
  EXPECT_EQ(ReadWholeFile(Path("old")), "new");
  // The copies went through files beside their destinations; none is left.
  std::vector<FoundFile> found;
  ASSERT_EQ(m_files.FindFiles(Path(".orv-copy-*").c_str(), found), err::kFileNotFound);
  // A read-only file is flushed all the same, and stays read-only.
  EXPECT_EQ(m_files.FlushFile(Path("locked").c_str()), 0u);
  EXPECT_TRUE(GetFileAttributesA(Path("locked").c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_NE(m_files.FlushFile(Path("missing").c_str()), 0u);
}

TEST_F(FileSystemWin32Test, MoveFileToRefusesAnExistingDestinationAndMoveFileOverReplacesIt)
{
  WriteWholeFile(Path("a"), "A");
  WriteWholeFile(Path("b"), "B");
  EXPECT_EQ(m_files.MoveFileTo(Path("a").c_str(), Path("b").c_str()), err::kAlreadyExists);
  EXPECT_EQ(ReadWholeFile(Path("a")), "A");
  EXPECT_EQ(ReadWholeFile(Path("b")), "B");

  EXPECT_EQ(m_files.MoveFileTo(Path("a").c_str(), Path("c").c_str()), 0u);
  EXPECT_FALSE(Exists(Path("a")));
  EXPECT_EQ(ReadWholeFile(Path("c")), "A");
  EXPECT_EQ(m_files.MoveFileTo(Path("a").c_str(), Path("d").c_str()), err::kFileNotFound);

  EXPECT_EQ(m_files.MoveFileOver(Path("c").c_str(), Path("b").c_str()), 0u);
  EXPECT_FALSE(Exists(Path("c")));
  EXPECT_EQ(ReadWholeFile(Path("b")), "A");
}

}  // namespace
}  // namespace orv::test::win32
