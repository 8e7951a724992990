// Applying .dfl patches to archive pairs: real files in the game folder, the
// real packing library, and a plain reference of the patch algorithm that the
// launcher's faster one must match byte for byte.
#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#include <share.h>
#else
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/CGlobal.h"
#include "patcher/ArchivePatch.h"
#include "support/ArchiveMaker.h"
#include "support/FrameFixture.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string Record(std::uint32_t offset, std::uint32_t packSize, std::uint32_t unpackSize)
{
  return Le32(offset) + Le32(packSize) + Le32(unpackSize);
}

fs::path With(fs::path base, const char* extension)
{
  base += extension;
  return base;
}

// Whether this process can open the file for writing.
bool CanWrite(const fs::path& path)
{
  std::FILE* file = std::fopen(path.string().c_str(), "rb+");
  if (file)
    std::fclose(file);
  return file != nullptr;
}

#ifdef _WIN32
// The file held open as the running game holds its archives: others may
// read it, and every open for writing fails with a sharing violation.
// Released when the object goes.
class Unwritable {
 public:
  explicit Unwritable(const fs::path& path)
      : m_fd(_wsopen(path.c_str(), _O_RDONLY | _O_BINARY, _SH_DENYWR))
  {
    EXPECT_GE(m_fd, 0) << "cannot hold " << path.string() << " open";
  }
  ~Unwritable()
  {
    if (m_fd >= 0)
      _close(m_fd);
  }

 private:
  int m_fd;
};
#else
// A file that even root cannot open for writing (a read-only mode does not
// stop root; the immutable flag does). Undone when the object goes.
class Unwritable {
 public:
  explicit Unwritable(const fs::path& path) : m_path(path)
  {
    fs::permissions(path, fs::perms::owner_read);
    if (CanWrite(path))
      SetImmutable(true);
  }
  ~Unwritable()
  {
    SetImmutable(false);
    fs::permissions(m_path, fs::perms::owner_read | fs::perms::owner_write);
  }

 private:
  void SetImmutable(bool on)
  {
    const int fd = ::open(m_path.c_str(), O_RDONLY);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
      ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0)
      ::close(fd);
  }
  fs::path m_path;
};
#endif

// Makes the file that many bytes long without writing them: past the end
// the file system keeps a hole, on Linux and under wine alike.
void GrowSparse(const fs::path& path, std::uint64_t size)
{
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(size - 1));
  file.put('\0');
}

// --- The patch algorithm as plainly as it can be written: the pair opened
// and closed around every entry, names looked up one after the other. ---

std::uint32_t Le(const std::string& bytes, std::size_t at)
{
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

void PutRecord(std::FILE* file, std::uint32_t offset, std::uint32_t packSize,
               std::uint32_t unpackSize)
{
  const std::string record = Record(offset, packSize, unpackSize);
  std::fwrite(record.data(), 1, record.size(), file);
}

// Every name in the tests is stored unpacked, so no unpacking is needed here.
std::vector<std::string> SplitNames(const std::string& block, std::size_t at, std::uint32_t count)
{
  std::vector<std::string> names;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t nul = block.find('\0', at);
    names.push_back(block.substr(at, nul - at));
    at = nul + 1;
  }
  return names;
}

void ReferencePatch(const fs::path& base, const std::string& dfl)
{
  const fs::path hedPath = With(base, ".hed"), datPath = With(base, ".dat");
  const std::string hed = ReadFile(hedPath), dat = ReadFile(datPath);
  std::vector<std::string> names =
      SplitNames(dat.substr(Le(hed, 0), Le(hed, 4)), 4, Le(dat, Le(hed, 0)));

  const std::uint32_t count = Le(dfl, 0);
  const std::vector<std::string> patchNames = SplitNames(dfl, 12, count);
  std::size_t at = 12 + Le(dfl, 4);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t size = Le(dfl, at + 4);
    const std::string bytes = dfl.substr(at + 8, size);
    at += 8 + size;

    std::FILE* datFile = std::fopen(datPath.string().c_str(), "rb+");
    std::FILE* hedFile = std::fopen(hedPath.string().c_str(), "rb+");
    std::fseek(datFile, 0, SEEK_END);
    std::size_t index = 0;
    while (index < names.size() && names[index] != patchNames[i])
      ++index;
    if (index == names.size()) {
      names.push_back(patchNames[i]);
      std::fseek(hedFile, 0, SEEK_END);
      PutRecord(hedFile, 0, 0, 0);
    }
    std::fseek(hedFile, static_cast<long>((index + 1) * 12), SEEK_SET);
    PutRecord(hedFile, static_cast<std::uint32_t>(std::ftell(datFile)), size, size);
    std::fwrite(bytes.data(), 1, bytes.size(), datFile);
    std::fseek(hedFile, 0, SEEK_END);
    PutRecord(hedFile, 0, 0, 0);
    std::fclose(hedFile);
    std::fclose(datFile);
  }

  std::FILE* datFile = std::fopen(datPath.string().c_str(), "rb+");
  std::FILE* hedFile = std::fopen(hedPath.string().c_str(), "rb+");
  std::fseek(datFile, 0, SEEK_END);
  const auto offset = static_cast<std::uint32_t>(std::ftell(datFile));
  std::string table = Le32(static_cast<std::uint32_t>(names.size()));
  for (const std::string& name : names)
    table += name + '\0';
  std::fwrite(table.data(), 1, table.size(), datFile);
  const auto size = static_cast<std::uint32_t>(table.size());
  PutRecord(hedFile, offset, size, size);
  std::fclose(hedFile);
  std::fclose(datFile);
}

class ArchivePatchTest : public FrameFixture {
 protected:
  void SetUp() override
  {
    global = &StartLauncher();
    m_game = m_start.path() / "game";
    m_work = m_start.path() / "_temp";
    fs::create_directories(m_work);
  }

  // Puts a patch into the work folder and answers its launcher path.
  std::string PutDfl(const std::string& name, const std::string& bytes)
  {
    WriteFile(m_work / name, bytes);
    return std::string(global->startDir) + "\\_temp\\" + name;
  }
  bool Apply(const std::string& name, const std::string& bytes)
  {
    return ApplyPatchFile(*global, PutDfl(name, bytes));
  }
  std::string Pair(const fs::path& base) const
  {
    return ReadFile(With(base, ".hed")) + "|" + ReadFile(With(base, ".dat"));
  }
  std::vector<std::string> Log() const
  {
    const std::vector<std::string> items = m_view.LogItems();
    return {items.rbegin(), items.rend()};
  }

  CGlobal* global = nullptr;
  fs::path m_game;
  fs::path m_work;
};

// --- What a patch writes ---

TEST_F(ArchivePatchTest, ReplacedEntryGoesToTheEndWithANewNameTable)
{
  WriteArchive(m_game / "sys", {{"a.txt", "xy"}, {"b\\c.bin", "12345"}});
  const std::string table = "\x02\0\0\0a.txt\0b\\c.bin\0"s;
  ASSERT_EQ(table.size(), 18u);
  ASSERT_EQ(ReadFile(m_game / "sys.dat"), table + "xy12345");
  const std::string dfl = MakeDfl({{"a.txt", "ABC"}});
  ASSERT_EQ(dfl, "\x01\0\0\0\x06\0\0\0\x06\0\0\0a.txt\0\x03\0\0\0\x03\0\0\0ABC"s);

  ASSERT_TRUE(Apply("sys.dfl", dfl));

  EXPECT_EQ(ReadFile(m_game / "sys.dat"), table + "xy12345" + "ABC" + table);
  EXPECT_EQ(ReadFile(m_game / "sys.hed"),
            Record(28, 18, 18) + Record(25, 3, 3) + Record(20, 5, 5) + Record(0, 0, 0));
  EXPECT_THAT(m_view.StatusLines(), ElementsAre("a.txtを書込み"));
  EXPECT_THAT(Log(), IsEmpty());
  EXPECT_THAT(m_view.Messages(), IsEmpty());
  // Rebuilding is off: no backup appears.
  EXPECT_FALSE(fs::exists(m_game / "sys.bkdat"));
  EXPECT_FALSE(fs::exists(m_game / "sys.bkhed"));
}

TEST_F(ArchivePatchTest, NewNameTakesTheNextIndexAndTheIndexGrowsByTwoRecords)
{
  std::vector<ArchiveEntry> entries;
  for (int i = 0; i < 10; ++i)
    entries.push_back({"n" + std::to_string(i), std::string(3, static_cast<char>('a' + i))});
  WriteArchive(m_game / "ten", entries);
  const auto datSize = static_cast<std::uint32_t>(fs::file_size(m_game / "ten.dat"));

  ASSERT_TRUE(Apply("ten.dfl", MakeDfl({{"new", "NEW!"}})));

  const std::vector<RawRecord> index = ReadIndex(m_game / "ten.hed");
  ASSERT_EQ(index.size(), 13u);
  EXPECT_EQ(index[11], (RawRecord{datSize, 4, 4}));
  EXPECT_EQ(index[12], RawRecord{});
  entries.push_back({"new", "NEW!"});
  const std::vector<ArchiveEntry> archive = ReadArchive(m_game / "ten");
  ASSERT_EQ(archive.size(), 11u);
  EXPECT_EQ(archive.back().name, "new");
  EXPECT_EQ(archive.back().bytes, "NEW!");
}

TEST_F(ArchivePatchTest, EmptyPatchStillAppendsANameTable)
{
  WriteArchive(m_game / "sys", {{"a.txt", "xy"}});
  const std::string hed = ReadFile(m_game / "sys.hed");
  const std::string dat = ReadFile(m_game / "sys.dat");

  ASSERT_TRUE(Apply("sys.dfl", MakeDfl({})));

  const std::string table = "\x01\0\0\0a.txt\0"s;
  EXPECT_EQ(ReadFile(m_game / "sys.dat"), dat + table);
  EXPECT_EQ(ReadFile(m_game / "sys.hed"),
            Record(static_cast<std::uint32_t>(dat.size()), 10, 10) + hed.substr(12));
}

TEST_F(ArchivePatchTest, PackedEntriesAreWrittenUnpackedAndCaseMakesANewName)
{
  WriteArchive(m_game / "sys", {{"a.txt", "lower"}}, /*packNames=*/true);
  const std::string big(4000, 'z');

  ASSERT_TRUE(Apply("sys.dfl", MakeDfl({{"A.TXT", big, true}}, /*packNames=*/true)));

  const std::vector<RawRecord> index = ReadIndex(m_game / "sys.hed");
  ASSERT_GE(index.size(), 3u);
  EXPECT_EQ(index[2].packSize, 4000u);
  EXPECT_EQ(index[2].unpackSize, 4000u);
  const std::vector<ArchiveEntry> archive = ReadArchive(m_game / "sys");
  ASSERT_EQ(archive.size(), 2u);
  EXPECT_EQ(archive[0].bytes, "lower");
  EXPECT_EQ(archive[1].name, "A.TXT");
  EXPECT_EQ(archive[1].bytes, big);
  EXPECT_FALSE(archive[1].packed);
}

// The lookup by hash, the open pair and the image of the index must leave
// exactly the bytes of the plain algorithm, trailing records and duplicate
// names included.
TEST_F(ArchivePatchTest, MatchesThePlainAlgorithmByteForByte)
{
  const std::vector<ArchiveEntry> entries = {
      {"a", "1"}, {"dup", "first"}, {"b\\c", "22", true}, {"dup", "second"}, {"d", ""}};
  const fs::path plain = m_start.path() / "plain";
  WriteArchive(m_game / "pack", entries);
  WriteArchive(plain, entries);
  const std::vector<std::vector<ArchiveEntry>> patches = {
      {{"dup", "D1"}, {"new", "N1"}, {"a", "A1", true}, {"new", "N2"}, {"e", "E1"}},
      {{"e", "E2"}, {"zz", std::string(300, 'z'), true}, {"b\\c", "C2"}, {"dup", ""}}};

  for (const std::vector<ArchiveEntry>& patch : patches) {
    ASSERT_TRUE(Apply("pack.dfl", MakeDfl(patch, /*packNames=*/true)));
    // What is written does not depend on how the patch stored its entries;
    // the reference reads them stored as they are.
    std::vector<ArchiveEntry> unpacked = patch;
    for (ArchiveEntry& entry : unpacked)
      entry.packed = false;
    ReferencePatch(plain, MakeDfl(unpacked));
  }

  EXPECT_EQ(ReadFile(m_game / "pack.hed"), ReadFile(With(plain, ".hed")));
  EXPECT_EQ(ReadFile(m_game / "pack.dat"), ReadFile(With(plain, ".dat")));
  const std::vector<ArchiveEntry> archive = ReadArchive(m_game / "pack");
  ASSERT_EQ(archive.size(), 8u);
  EXPECT_EQ(archive[1].bytes, "");        // the first "dup" took both patches
  EXPECT_EQ(archive[3].bytes, "second");  // the second is never found
  EXPECT_EQ(archive[5].name + archive[5].bytes, "newN2");
}

// --- Which patches a step applies ---

TEST_F(ArchivePatchTest, EveryPlainPatchFileDirectlyInTheWorkFolderIsApplied)
{
  fs::create_directories(m_game / "data");
  WriteArchive(m_game / "data" / "map", {{"m", "old"}});
  WriteArchive(m_game / "top", {{"t", "old"}});
  PutDfl("data_map.dfl", MakeDfl({{"m", "new"}}));
  // Stored under a folder by its cabinet, or a folder named like a patch.
  fs::create_directories(m_work / "sub");
  WriteFile(m_work / "sub" / "top.dfl", MakeDfl({{"t", "new"}}));
  fs::create_directories(m_work / "top.dfl");

  // Plain files are listed with the "normal" attribute; skipping them
  // reported the step as applied while its archives stayed as they were.
  EXPECT_TRUE(ApplyPatchFiles(*global));

  EXPECT_EQ(ReadArchive(m_game / "data" / "map")[0].bytes, "new");
  EXPECT_EQ(ReadArchive(m_game / "top")[0].bytes, "old");
  EXPECT_THAT(m_view.StatusLines(),
              ElementsAre("data_map.dflを適用", "mを書込み", "data_map.dflの適用が終了"));
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(ArchivePatchTest, StepWithoutPatchesSucceedsAndAMissingWorkFolderFails)
{
  EXPECT_TRUE(ApplyPatchFiles(*global));
  fs::remove_all(m_work);
  EXPECT_FALSE(ApplyPatchFiles(*global));
  EXPECT_THAT(Log(), ElementsAre("dflファイルの検索に失敗しました Err:[3]\r\n"));
}

TEST_F(ArchivePatchTest, FailedPatchIsReportedWithItsFileName)
{
  PutDfl("none.dfl", MakeDfl({{"x", "y"}}));
  EXPECT_FALSE(ApplyPatchFiles(*global));
  EXPECT_THAT(Log(), ElementsAre("none.hedを開けませんでした\r\n",
                                 "none.dflの適用中にエラーが発生\r\n"));
}

// The second byte of ダ is '_': replaced, the patch named ソ\a instead.
TEST_F(ArchivePatchTest, UnderscoreInsideAShiftJisCharacterIsNotASeparator)
{
  fs::create_directories(m_game / fs::path(u8"ダ"));
  WriteArchive(m_game / fs::path(u8"ダ") / "a", {{"k", "old"}});
  WriteFile(m_work / fs::path(u8"ダ_a.dfl"), MakeDfl({{"k", "new"}}));

  EXPECT_TRUE(ApplyPatchFiles(*global));
  EXPECT_EQ(ReadArchive(m_game / fs::path(u8"ダ") / "a")[0].bytes, "new");
}

TEST_F(ArchivePatchTest, PatchOfMoreThan65535EntriesIsAppliedWhole)
{
  WriteArchive(m_game / "big", {});
  std::vector<ArchiveEntry> entries;
  for (int i = 0; i < 70000; ++i)
    entries.push_back({std::to_string(i), "x"});

  ASSERT_TRUE(Apply("big.dfl", MakeDfl(entries)));

  const std::vector<ArchiveEntry> archive = ReadArchive(m_game / "big");
  ASSERT_EQ(archive.size(), 70000u);
  EXPECT_EQ(archive.back().name, "69999");
}

// --- Patches and archives that cannot be trusted ---

TEST_F(ArchivePatchTest, ArchivePathOutsideTheGameFolderIsRefused)
{
  WriteArchive(m_start.path() / "outside", {{"k", "old"}});
  const std::string before = Pair(m_start.path() / "outside");

  EXPECT_FALSE(Apply(".._outside.dfl", MakeDfl({{"k", "new"}})));
  EXPECT_FALSE(Apply("C:_Windows_x.dfl", MakeDfl({{"k", "new"}})));

  EXPECT_EQ(Pair(m_start.path() / "outside"), before);
  EXPECT_THAT(Log(), ElementsAre("..\\outsideはゲームフォルダの外を指しています\r\n",
                                 "C:\\Windows\\xはゲームフォルダの外を指しています\r\n"));
}

TEST_F(ArchivePatchTest, MalformedArchiveIsRefusedUntouched)
{
  const std::string table = "\x01\0\0\0a\0"s;
  const std::string dat = table + "AAAA";
  const std::string entry = Record(6, 4, 4);
  struct Case {
    const char* fault;
    std::string hed, dat, logLine;
  };
  const Case cases[] = {
      {"index-shorter-than-a-record", "\x01\x02\x03"s, dat, "m.hedにレコードがありません"},
      {"name-table-past-the-end", Record(2, 6, 6) + entry, dat.substr(0, 6),
       "m.hedのレコードがm.datの外を指しています"},
      {"name-table-count-too-large", Record(0, 6, 6) + entry, "\x03\0\0\0a\0"s + "AAAA",
       "m.datの名前表が壊れています"},
      {"name-runs-past-the-table", Record(0, 5, 5) + entry, "\x01\0\0\0abc"s,
       "m.datの名前表が壊れています"},
      {"name-table-does-not-unpack", Record(0, 6 | 0x80000000u, 60) + entry, dat,
       "m.datの名前表を解凍できませんでした"},
      {"name-table-claims-a-gigabyte", Record(0, 6 | 0x80000000u, 0x40000000) + entry, dat,
       "m.datの名前表が壊れています"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    WriteFile(m_game / "m.hed", c.hed);
    WriteFile(m_game / "m.dat", c.dat);
    const std::size_t logged = m_view.LogItems().size();

    EXPECT_FALSE(Apply("m.dfl", MakeDfl({{"a", "new"}})));

    EXPECT_EQ(ReadFile(m_game / "m.hed"), c.hed);
    EXPECT_EQ(ReadFile(m_game / "m.dat"), c.dat);
    ASSERT_EQ(m_view.LogItems().size(), logged + 1);
    EXPECT_EQ(m_view.LogItems()[0], c.logLine + "\r\n");
  }
}

TEST_F(ArchivePatchTest, MalformedPatchIsRefusedBeforeItsEntryIsWritten)
{
  const std::string good = MakeDfl({{"a", "AAAA"}, {"b", "BBBB"}});
  const std::string header = "\x01\0\0\0\x02\0\0\0\x02\0\0\0a\0"s;
  struct Case {
    const char* fault;
    std::string dfl, logLine;
  };
  const Case cases[] = {
      {"truncated-dfl-header", good.substr(0, 7), "m.dflが途中で終わっています"},
      {"truncated-dfl-names", good.substr(0, 14), "m.dflが途中で終わっています"},
      {"truncated-dfl-entry", good.substr(0, good.size() - 1), "m.dflが途中で終わっています"},
      {"fewer-names-than-entries", "\x02\0\0\0\x02\0\0\0\x02\0\0\0a\0"s,
       "dflファイルの名称取得数に相違があります。 1/2"},
      {"entry-claims-two-gigabytes", header + Le32(10 | 0x80000000u) + Le32(0x7FFFFFFF) +
                                          std::string(10, 'x'),
       "m.dflのサイズ指定が不正です"},
      {"entry-does-not-unpack", header + Le32(4 | 0x80000000u) + Le32(8) + "xxxx",
       "m.dflのaを解凍できませんでした"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    WriteArchive(m_game / "m", {{"a", "old"}});
    const std::string before = Pair(m_game / "m");
    const std::size_t logged = m_view.LogItems().size();

    EXPECT_FALSE(Apply("m.dfl", c.dfl));

    ASSERT_EQ(m_view.LogItems().size(), logged + 1);
    EXPECT_EQ(m_view.LogItems()[0], c.logLine + "\r\n");
    // A fault after a good entry committed that entry (the archive was
    // neither version) and kept its bytes in the .dat.
    EXPECT_EQ(Pair(m_game / "m"), before);
  }
  // The unpack failure was shown by the packing library's own message.
  ASSERT_EQ(m_view.Messages().size(), 1u);
  EXPECT_EQ(m_view.Messages()[0].caption, "Error");
}

TEST_F(ArchivePatchTest, ArchiveThatCannotBeWrittenFailsThePatch)
{
  WriteArchive(m_game / "m", {{"a", "old"}});
  const std::string before = Pair(m_game / "m");
  Unwritable locked(m_game / "m.dat");
  if (CanWrite(m_game / "m.dat"))
    GTEST_SKIP() << "this file system cannot refuse writing to root";

  EXPECT_FALSE(Apply("m.dfl", MakeDfl({{"a", "new"}})));

  EXPECT_EQ(Pair(m_game / "m"), before);
  EXPECT_THAT(Log(), ElementsAre("m.datを書込み用に開けませんでした\r\n"));
}

// The record's offset is 32 bits: past 4 GiB it wrapped round to the start.
TEST_F(ArchivePatchTest, DataFileThatOutgrewItsOffsetsIsNotWrittenTo)
{
  WriteArchive(m_game / "m", {{"a", "old"}});
  const std::string hed = ReadFile(m_game / "m.hed");
  GrowSparse(m_game / "m.dat", (1ull << 32) + 10);

  EXPECT_FALSE(Apply("m.dfl", MakeDfl({{"a", "new"}})));

  EXPECT_EQ(ReadFile(m_game / "m.hed"), hed);
  EXPECT_EQ(fs::file_size(m_game / "m.dat"), (1ull << 32) + 10);
  EXPECT_THAT(Log(), ElementsAre("m.datが大きすぎます\r\n"));
}

}  // namespace
}  // namespace orv::test
