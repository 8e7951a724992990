// Rebuilding a patched archive pair: real files, the real packing library,
// and failures that must leave the previous pair in place.
#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
#endif

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/CGlobal.h"
#include "patcher/ArchivePatch.h"
#include "support/ArchiveMaker.h"
#include "support/FrameFixture.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

std::string Record(std::uint32_t offset, std::uint32_t packSize, std::uint32_t unpackSize)
{
  return Le32(offset) + Le32(packSize) + Le32(unpackSize);
}

#ifndef _WIN32
// Files of this process cannot grow past the limit while the object lives: a
// write beyond it fails as on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes)
  {
    m_signal = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &m_previous);
    rlimit limit = m_previous;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit()
  {
    setrlimit(RLIMIT_FSIZE, &m_previous);
    std::signal(SIGXFSZ, m_signal);
  }

 private:
  rlimit m_previous{};
  void (*m_signal)(int) = nullptr;
};
#endif

class ArchiveRebuildTest : public FrameFixture {
 protected:
  void SetUp() override
  {
    global = &StartLauncher();
    m_game = m_start.path() / "game";
    fs::create_directories(m_start.path() / "_temp");
  }

  std::string DatPath(const std::string& name) const
  {
    return std::string(global->OrvDir) + "\\" + name + ".dat";
  }
  std::string Pair(const std::string& name) const
  {
    return ReadFile(m_game / (name + ".hed")) + "|" + ReadFile(m_game / (name + ".dat"));
  }
  // Any file of a rebuild besides the pair.
  bool Backups(const std::string& name) const
  {
    for (const char* extension : {".bkhed", ".bkdat", ".nwhed", ".nwdat"})
      if (fs::exists(m_game / (name + extension)))
        return true;
    return false;
  }
  std::vector<std::string> Log() const
  {
    const std::vector<std::string> items = m_view.LogItems();
    return {items.rbegin(), items.rend()};
  }
  // Rebuilds m, which must fail and leave the pair as it was with no
  // backups, logging the reason and then the restoration.
  void ExpectFailedRebuildRestores(const std::string& reason,
                                   const std::function<RebuildOutcome()>& rebuild)
  {
    const std::string before = Pair("m");
    const std::size_t logged = m_view.LogItems().size();

    EXPECT_EQ(rebuild(), RebuildOutcome::Failed);

    EXPECT_EQ(Pair("m"), before);
    EXPECT_FALSE(Backups("m"));
    const std::vector<std::string> log = m_view.LogItems();
    ASSERT_EQ(log.size(), logged + 2);
    EXPECT_NE(log[1].find(reason), std::string::npos) << log[1];
    EXPECT_NE(log[0].find("を再構築前の状態に戻しました"), std::string::npos) << log[0];
  }
  void ExpectFailedRebuildRestores(const std::string& reason)
  {
    ExpectFailedRebuildRestores(reason, [this] { return RebuildArchive(*global, DatPath("m")); });
  }

  CGlobal* global = nullptr;
  fs::path m_game;
};

TEST_F(ArchiveRebuildTest, PatchWithRebuildLeavesOnlyDescribedBytesInIndexOrder)
{
  WriteArchive(m_game / "m", {{"a", std::string(500, 'a'), true}, {"b", "BB"}},
               /*packNames=*/true);
  WriteFile(m_start.path() / "_temp" / "m.dfl", MakeDfl({{"a", "AAA"}, {"c", "CCCC", true}}));
  global->ReStruct = 1;

  ASSERT_TRUE(ApplyPatchFile(*global, std::string(global->startDir) + "\\_temp\\m.dfl"));

  const std::string table = std::string("\x03\0\0\0a\0b\0c\0", 10);
  EXPECT_EQ(ReadFile(m_game / "m.dat"), table + "AAA" + "BB" + "CCCC");
  EXPECT_EQ(ReadFile(m_game / "m.hed"),
            Record(0, 10, 10) + Record(10, 3, 3) + Record(13, 2, 2) + Record(15, 4, 4));
  EXPECT_FALSE(Backups("m"));
  EXPECT_THAT(m_view.StatusLines(),
              ElementsAre("aを書込み", "cを書込み", "再構築中…", "再構築が終了"));
  // The patched index held 4 records and 2 empty ones; the copy stops at the
  // first empty one.
  const RecordingView::Progress bar = m_view.ProgressBar();
  EXPECT_EQ(bar.low, 0);
  EXPECT_EQ(bar.high, 6);
  EXPECT_EQ(bar.step, 1);
  EXPECT_THAT(bar.positions, ElementsAre(0, 1, 2, 3, 4, 5, 6));
  EXPECT_THAT(Log(), ElementsAre());
}

TEST_F(ArchiveRebuildTest, EmptyIndexGivesAnEmptyPair)
{
  WriteFile(m_game / "e.hed", "");
  WriteFile(m_game / "e.dat", "unreferenced");

  EXPECT_EQ(RebuildArchive(*global, DatPath("e")), RebuildOutcome::Rebuilt);

  EXPECT_EQ(Pair("e"), "|");
  EXPECT_FALSE(Backups("e"));
  EXPECT_EQ(m_view.ProgressBar().high, 0);
  EXPECT_THAT(m_view.ProgressBar().positions, ElementsAre(0, 0));
}

// The backups were deleted whatever happened, and a failed copy lost the
// archive.
TEST_F(ArchiveRebuildTest, DamagedEntryPutsThePreviousPairBack)
{
  struct Case {
    const char* fault;
    std::string hedTail;  // records after the name table and entry "a"
  };
  const Case cases[] = {
      {"record-past-the-end-of-the-backup", Record(4000000, 10, 10)},
      {"entry-does-not-unpack", Record(0, 6 | 0x80000000u, 100)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    WriteArchive(m_game / "m", {{"a", std::string(300000, 'b')}});
    WriteFile(m_game / "m.hed", ReadFile(m_game / "m.hed") + c.hedTail);
    ExpectFailedRebuildRestores("m.datのデータが壊れています");
  }
}

// Writing the new pair fails part of the way through.
TEST_F(ArchiveRebuildTest, FullDiskPutsThePreviousPairBack)
{
#ifdef _WIN32
  GTEST_SKIP() << "a Windows program has no way to make its own file writes fail as on a full "
                  "disk (no file size limit), and wine has no full disk to write to";
#else
  WriteArchive(m_game / "m", {{"a", std::string(300000, 'b')}});
  ExpectFailedRebuildRestores("m.nwdatへの書込みに失敗しました", [this] {
    FileSizeLimit limit(100000);
    return RebuildArchive(*global, DatPath("m"));
  });
#endif
}

// A backup left by a run that never finished may be the only good copy:
// moving over it, then opening the current pair for writing, destroyed both.
TEST_F(ArchiveRebuildTest, StaleBackupStopsTheRebuild)
{
  for (const char* stale : {"m.bkdat", "m.bkhed"}) {
    SCOPED_TRACE(stale);
    fs::remove(m_game / "m.bkdat");
    fs::remove(m_game / "m.bkhed");
    WriteArchive(m_game / "m", {{"a", "x"}});
    WriteFile(m_game / stale, "the only good copy");
    const std::string before = Pair("m");

    EXPECT_EQ(RebuildArchive(*global, DatPath("m")), RebuildOutcome::NotStarted);

    EXPECT_EQ(Pair("m"), before);
    EXPECT_EQ(ReadFile(m_game / stale), "the only good copy");
    ASSERT_FALSE(m_view.LogItems().empty());
    EXPECT_NE(m_view.LogItems()[0].find(std::string(stale) + "が残っているため再構築しません"),
              std::string::npos);
  }
}

// Every moment of a rebuild a kill can leave behind, in the order they
// happen: the files present, and whether the settled archive is the old pair
// or the new one. Nothing was put back before, and a stale backup then
// blocked every later rebuild.
TEST_F(ArchiveRebuildTest, SettlingKeepsTheCommittedPairAndRemovesTheRest)
{
  struct Case {
    std::vector<std::pair<const char*, bool>> files;  // extension, holds the new pair's file
    bool settledToNew;
    const char* line;
  };
  const Case cases[] = {
      {{{".hed", false}, {".dat", false}, {".nwdat", true}}, false, "の書きかけの再構築を破棄しました"},
      {{{".hed", false}, {".dat", false}, {".nwdat", true}, {".nwhed", true}}, false,
       "の書きかけの再構築を破棄しました"},
      {{{".bkhed", false}, {".dat", false}, {".nwdat", true}, {".nwhed", true}}, false,
       "を再構築前の状態に戻しました"},
      {{{".bkhed", false}, {".bkdat", false}, {".nwdat", true}, {".nwhed", true}}, false,
       "を再構築前の状態に戻しました"},
      {{{".bkhed", false}, {".bkdat", false}, {".dat", true}, {".nwhed", true}}, false,
       "を再構築前の状態に戻しました"},
      {{{".bkhed", false}, {".bkdat", false}, {".dat", true}, {".hed", true}}, false,
       "を再構築前の状態に戻しました"},
      {{{".bkdat", false}, {".dat", true}, {".hed", true}}, true, "の再構築を完了しました"},
  };
  WriteArchive(m_game / "old", {{"a", "old a", true}, {"b", "old b"}});
  WriteArchive(m_game / "new", {{"a", "new a"}, {"b", "new b"}, {"c", "new c"}});
  const std::string old = Pair("old");
  const std::string renewed = Pair("new");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.files.front().first + std::string(" ") + c.line);
    for (const char* extension : {".hed", ".dat", ".bkhed", ".bkdat", ".nwhed", ".nwdat"})
      fs::remove(m_game / ("m" + std::string(extension)));
    for (auto [extension, fromNew] : c.files) {
      const std::string type = std::string(extension).substr(std::string(extension).size() - 3);
      fs::copy_file(m_game / ((fromNew ? "new." : "old.") + type), m_game / ("m" + std::string(extension)));
    }
    const std::size_t logged = m_view.LogItems().size();

    EXPECT_TRUE(SettleArchive(*global, std::string(global->OrvDir) + "\\m"));

    EXPECT_EQ(Pair("m"), c.settledToNew ? renewed : old);
    EXPECT_FALSE(Backups("m"));
    ASSERT_EQ(m_view.LogItems().size(), logged + 1);
    EXPECT_NE(m_view.LogItems()[0].find(c.line), std::string::npos) << m_view.LogItems()[0];
  }
}

}  // namespace
}  // namespace orv::test
