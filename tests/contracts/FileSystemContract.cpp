#include "contracts/FileSystemContract.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "platform/ErrorCodes.h"
#include "support/PluginFolder.h"

namespace orv::test {

std::string FileSystemContract::Path(const std::string& relative) const
{
  const std::string base = LauncherPath(m_dir.path());
  return relative.empty() ? base : base + "\\" + relative;
}

void FileSystemContract::Write(const std::string& relative, const std::string& content)
{
  std::FILE* file = m_files.OpenFile(Path(relative).c_str(), "wb");
  ASSERT_NE(file, nullptr) << relative;
  std::fwrite(content.data(), 1, content.size(), file);
  std::fclose(file);
}

std::string FileSystemContract::Read(const std::string& relative)
{
  std::FILE* file = m_files.OpenFile(Path(relative).c_str(), "rb");
  if (!file)
    return "<missing>";
  std::string content;
  char chunk[4096];
  std::size_t count;
  while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0)
    content.append(chunk, count);
  std::fclose(file);
  return content;
}

std::vector<FoundFile> FileSystemContract::List(const std::string& pattern)
{
  std::vector<FoundFile> found;
  EXPECT_EQ(m_files.FindFiles(Path(pattern).c_str(), found), 0u) << pattern;
  return found;
}

Strings FileSystemContract::Names(const std::string& pattern)
{
  Strings names;
  for (const FoundFile& file : List(pattern))
    names.push_back(file.name);
  return names;
}

namespace {

// --- Listing ---

TEST_P(FileSystemContract, FindFilesListsInWindowsOrderWithAttributes)
{
  for (const char* name : {"b.dfl", "A.DFL", "_x.dfl", "noext", "ro.txt"})
    Write(name, "");
  ASSERT_EQ(m_files.MakeFolder(Path("c").c_str()), 0u);
  ASSERT_EQ(m_files.SetAttributes(Path("ro.txt").c_str(), kAttributeReadOnly), 0u);

  // "*.*" lists every name, those without a dot and the two folder entries
  // too. Letters compare as upper case, so '_' (5F) comes after every letter.
  EXPECT_EQ(Names("*.*"), (Strings{".", "..", "A.DFL", "b.dfl", "c", "noext", "ro.txt", "_x.dfl"}));
  EXPECT_EQ(Names("*"), Names("*.*"));
  EXPECT_EQ(Names("*.dfl"), (Strings{"A.DFL", "b.dfl", "_x.dfl"}));
  EXPECT_EQ(Names("?.Dfl"), (Strings{"A.DFL", "b.dfl"}));
  EXPECT_EQ(Names("noext.*"), Strings{"noext"});

  for (const FoundFile& file : List("*.*")) {
    const bool folder = file.name == "." || file.name == ".." || file.name == "c";
    EXPECT_EQ(file.attributes & (kAttributeDirectory | kAttributeReadOnly),
              (folder ? kAttributeDirectory : 0) | (file.name == "ro.txt" ? kAttributeReadOnly : 0))
        << file.name;
  }
  ASSERT_EQ(m_files.SetAttributes(Path("ro.txt").c_str(), kAttributeNormal), 0u);
  EXPECT_EQ(List("ro.txt").at(0).attributes & kAttributeReadOnly, 0u);

  std::vector<FoundFile> found;
  EXPECT_EQ(m_files.FindFiles(Path("*.xyz").c_str(), found), err::kFileNotFound);
  EXPECT_TRUE(found.empty());
  EXPECT_EQ(m_files.FindFiles(Path("missing\\*.*").c_str(), found), err::kPathNotFound);
}

TEST_P(FileSystemContract, ShiftJisNamesRoundTripAndTheirSecondByteIsNoSeparator)
{
  if (const std::string missing = GetParam().japaneseNamesMissing(); !missing.empty())
    GTEST_SKIP() << missing;
  // Double-byte names come after every single-byte one, and one is one
  // character for '?'.
  for (const char* name : {"b.dfl", "表.dfl", "_x.dfl", "A.dfl", "ヂ.txt"})
    Write(name, name);
  EXPECT_EQ(Names("*.dfl"), (Strings{"A.dfl", "b.dfl", "_x.dfl", "表.dfl"}));
  EXPECT_EQ(Names("?.DfL"), (Strings{"A.dfl", "b.dfl", "表.dfl"}));
  EXPECT_EQ(Read("表.dfl"), "表.dfl");
  // Only single-byte letters are folded: "ア" is 83 41, "ヂ" 83 61.
  std::vector<FoundFile> found;
  EXPECT_EQ(m_files.FindFiles(Path("ア.txt").c_str(), found), err::kFileNotFound);

  // "ソ" is 83 5C and "表" 95 5C: each is one name, not a name and a separator.
  ASSERT_EQ(m_files.MakeFolder(Path("ソ").c_str()), 0u);
  EXPECT_EQ(m_files.MakePath(Path("ソ\\表\\x.txt").c_str()), 0u);
  EXPECT_TRUE(m_files.IsFolder(Path("ソ\\表").c_str()));
  Write("ソ\\表\\ソ.dfl", "so");
  EXPECT_EQ(Names("ソ\\表\\*.dfl"), Strings{"ソ.dfl"});
  EXPECT_EQ(Names("ソ\\*.*"), (Strings{".", "..", "表"}));

  const std::filesystem::path native = m_dir.path() / u8"ソ" / u8"表";
  std::string current;
  {
    ScopedCurrentDirectory inside(native);
    ASSERT_TRUE(m_files.CurrentDirectory(current));
  }
  EXPECT_EQ(current, LauncherPath(native));
}

// --- Folders ---

TEST_P(FileSystemContract, FoldersAreMadeOneOrManyAndRemovedOnlyWhenEmpty)
{
  EXPECT_EQ(m_files.MakeFolder(Path("new").c_str()), 0u);
  EXPECT_TRUE(m_files.IsFolder(Path("new").c_str()));
  EXPECT_EQ(m_files.MakeFolder(Path("new").c_str()), err::kAlreadyExists);
  EXPECT_EQ(m_files.MakeFolder(Path("missing\\new").c_str()), err::kPathNotFound);
  EXPECT_FALSE(m_files.IsFolder(Path("missing").c_str()));

  EXPECT_EQ(m_files.MakePath(Path("a\\b\\c\\file.txt").c_str()), 0u);
  EXPECT_TRUE(m_files.IsFolder(Path("a\\b\\c").c_str()));
  EXPECT_EQ(Names("a\\b\\c\\*"), (Strings{".", ".."}));
  EXPECT_EQ(m_files.MakePath(Path("a\\b\\d\\").c_str()), 0u);  // existing levels are fine
  EXPECT_TRUE(m_files.IsFolder(Path("a\\b\\d").c_str()));

  Write("a\\b\\c\\file.txt", "x");
  EXPECT_FALSE(m_files.IsFolder(Path("a\\b\\c\\file.txt").c_str()));
  EXPECT_EQ(m_files.RemoveFile(Path("a\\b\\c").c_str()), err::kAccessDenied);
  EXPECT_EQ(m_files.RemoveFolder(Path("a\\b\\c").c_str()), err::kDirNotEmpty);
  EXPECT_EQ(m_files.RemoveFile(Path("a\\b\\c\\file.txt").c_str()), 0u);
  EXPECT_EQ(m_files.RemoveFile(Path("a\\b\\c\\file.txt").c_str()), err::kFileNotFound);
  EXPECT_EQ(m_files.RemoveFolder(Path("a\\b\\c").c_str()), 0u);
  EXPECT_FALSE(m_files.IsFolder(Path("a\\b\\c").c_str()));
}

TEST_P(FileSystemContract, MakePathFailsWhereAFileStandsForAFolder)
{
  // Without the check this answered success for a folder that was a file.
  Write("plain", "");
  EXPECT_EQ(m_files.MakePath(Path("plain\\file.txt").c_str()), err::kPathNotFound);
  EXPECT_NE(m_files.MakePath(Path("plain\\sub\\file.txt").c_str()), 0u);
  EXPECT_FALSE(m_files.IsFolder(Path("plain").c_str()));
}

// --- Files ---

TEST_P(FileSystemContract, OpenFileTakesFilesButNotFolders)
{
  Write("file.txt", "found");
  EXPECT_TRUE(FileReadable(m_files, Path("file.txt").c_str()));
  ASSERT_EQ(m_files.MakeFolder(Path("orv.exe").c_str()), 0u);
  EXPECT_FALSE(FileReadable(m_files, Path("orv.exe").c_str()));
  EXPECT_FALSE(FileReadable(m_files, Path("missing").c_str()));
}

TEST_P(FileSystemContract, CopyFileOverReplacesButNotAReadOnlyDestinationNorItself)
{
  Write("new", "new");
  Write("old", "an older and longer content");
  EXPECT_EQ(m_files.CopyFileOver(Path("new").c_str(), Path("old").c_str(), false), 0u);
  EXPECT_EQ(Read("old"), "new");
  EXPECT_EQ(m_files.CopyFileOver(Path("new").c_str(), Path("fresh").c_str(), true), 0u);
  EXPECT_EQ(Read("fresh"), "new");

  // Refused by the attribute even for an administrator, whom the system
  // would let write.
  Write("locked", "locked");
  ASSERT_EQ(m_files.SetAttributes(Path("locked").c_str(), kAttributeReadOnly), 0u);
  EXPECT_EQ(m_files.CopyFileOver(Path("new").c_str(), Path("locked").c_str(), false),
            err::kAccessDenied);
  EXPECT_EQ(Read("locked"), "locked");

  EXPECT_EQ(m_files.CopyFileOver(Path("missing").c_str(), Path("old").c_str(), false),
            err::kFileNotFound);
  EXPECT_EQ(m_files.CopyFileOver(Path("new").c_str(), Path("missing\\x").c_str(), false),
            err::kPathNotFound);
  // Without the check the destination was truncated before the source was read.
  EXPECT_NE(m_files.CopyFileOver(Path("old").c_str(), Path("old").c_str(), false), 0u);
  EXPECT_EQ(Read("old"), "new");
  // The copies went through files beside their destinations; none is left.
  EXPECT_EQ(Names("*.*"), (Strings{".", "..", "fresh", "locked", "new", "old"}));

  // A read-only file is flushed all the same, and stays read-only.
  EXPECT_EQ(m_files.FlushFile(Path("locked").c_str()), 0u);
  EXPECT_EQ(List("locked").at(0).attributes & kAttributeReadOnly, kAttributeReadOnly);
  EXPECT_EQ(m_files.FlushFile(Path("missing").c_str()), err::kFileNotFound);
  EXPECT_EQ(m_files.FlushFiles({Path("new"), Path("missing")}), err::kFileNotFound);
  EXPECT_EQ(m_files.FlushFiles({Path("new"), Path("old")}), 0u);
  EXPECT_EQ(m_files.FlushFolder(Path("").c_str()), 0u);
}

TEST_P(FileSystemContract, MoveFileToRefusesAnExistingDestinationAndMoveFileOverReplacesIt)
{
  Write("a", "A");
  Write("b", "B");
  EXPECT_EQ(m_files.MoveFileTo(Path("a").c_str(), Path("b").c_str()), err::kAlreadyExists);
  EXPECT_EQ(Read("a"), "A");
  EXPECT_EQ(Read("b"), "B");

  EXPECT_EQ(m_files.MoveFileTo(Path("a").c_str(), Path("c").c_str()), 0u);
  EXPECT_EQ(Read("a"), "<missing>");
  EXPECT_EQ(Read("c"), "A");
  EXPECT_EQ(m_files.MoveFileTo(Path("a").c_str(), Path("d").c_str()), err::kFileNotFound);

  EXPECT_EQ(m_files.MoveFileOver(Path("c").c_str(), Path("b").c_str()), 0u);
  EXPECT_EQ(Read("c"), "<missing>");
  EXPECT_EQ(Read("b"), "A");
}

// --- Probing, cutting and locking ---

TEST_P(FileSystemContract, ProbeFileTellsWhatIsThereAndWhatIsAbsent)
{
  Write("file", "x");
  Write("ro", "x");
  ASSERT_EQ(m_files.SetAttributes(Path("ro").c_str(), kAttributeReadOnly), 0u);
  ASSERT_EQ(m_files.MakeFolder(Path("folder").c_str()), 0u);
  const std::pair<const char*, std::uint32_t> present[] = {
      {"file", kAttributeNormal}, {"ro", kAttributeReadOnly}, {"folder", kAttributeDirectory}};
  for (const auto& [name, expected] : present) {
    std::uint32_t attributes = 0;
    EXPECT_EQ(m_files.ProbeFile(Path(name).c_str(), attributes), 0u) << name;
    EXPECT_EQ(attributes, expected) << name;
  }
  // Absent is one of the two "not found" answers, whichever level is missing.
  for (const char* name : {"missing", "missing\\file", "file\\below"}) {
    std::uint32_t attributes = kAttributeNormal;
    const std::uint32_t error = m_files.ProbeFile(Path(name).c_str(), attributes);
    EXPECT_TRUE(error == err::kFileNotFound || error == err::kPathNotFound)
        << name << ": " << error;
    EXPECT_EQ(attributes, 0u) << name;
  }
}

TEST_P(FileSystemContract, SetFileLengthKeepsTheBytesUpToTheLength)
{
  Write("dat", "0123456789");
  EXPECT_EQ(m_files.SetFileLength(Path("dat").c_str(), 4), 0u);
  EXPECT_EQ(Read("dat"), "0123");
  EXPECT_EQ(m_files.SetFileLength(Path("dat").c_str(), 0), 0u);
  EXPECT_EQ(Read("dat"), "");
  EXPECT_EQ(m_files.SetFileLength(Path("missing").c_str(), 0), err::kFileNotFound);
  EXPECT_EQ(Read("missing"), "<missing>");
}

TEST_P(FileSystemContract, TakeLockRefusesASecondHolderUntilTheFirstLetsGo)
{
  std::unique_ptr<HeldLock> first;
  ASSERT_EQ(m_files.TakeLock(Path("lock").c_str(), first), 0u);
  ASSERT_NE(first, nullptr);
  std::uint32_t attributes = 0;
  EXPECT_EQ(m_files.ProbeFile(Path("lock").c_str(), attributes), 0u);  // made when missing

  // Another FileSystem object stands for a second launcher in this process.
  std::unique_ptr<FileSystem> other = GetParam().make();
  std::unique_ptr<HeldLock> second;
  EXPECT_EQ(other->TakeLock(Path("lock").c_str(), second), err::kSharingViolation);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(m_files.TakeLock(Path("lock").c_str(), second), err::kSharingViolation);

  first.reset();
  EXPECT_EQ(other->TakeLock(Path("lock").c_str(), second), 0u);
  EXPECT_NE(second, nullptr);
  EXPECT_EQ(m_files.TakeLock(Path("missing\\lock").c_str(), first), err::kPathNotFound);
}

}  // namespace
}  // namespace orv::test
