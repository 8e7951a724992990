// The parts of a step: archives compared entry by entry into a .dfl, and
// files split into cabinets.
#include <gmock/gmock.h>

#include "MkStep.h"
#include "support/ArchiveMaker.h"
#include "support/TempDir.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;
using mkstep::StepFile;
using ::testing::ElementsAre;

std::uint32_t Word(const std::string& bytes, std::size_t at)
{
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = value << 8 | static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(i)]);
  return value;
}

// A .dfl read back: its names, and for each entry whether it was stored
// packed and its unpacked bytes.
struct DflEntry {
  std::string name;
  bool packed = false;
  std::string bytes;
};

std::vector<DflEntry> ReadDfl(const fs::path& path)
{
  const std::string dfl = ReadFile(path);
  auto unstore = [&](std::size_t at, std::uint32_t packSize, std::uint32_t unpackSize) {
    const std::uint32_t stored = packSize & 0x7FFFFFFFu;
    std::string out(unpackSize, '\0');
    if (packSize == unpackSize)
      return dfl.substr(at, stored);
    void* buffer = out.data();
    std::uint32_t size = unpackSize;
    EXPECT_NE(Unpack(dfl.data() + at, stored, &buffer, &size, 1), 0);
    return out;
  };
  const std::uint32_t count = Word(dfl, 0);
  const std::string names = unstore(12, Word(dfl, 4), Word(dfl, 8));
  std::vector<DflEntry> entries;
  std::size_t at = 12 + (Word(dfl, 4) & 0x7FFFFFFFu), cursor = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    DflEntry entry;
    entry.name = names.substr(cursor, names.find('\0', cursor) - cursor);
    cursor += entry.name.size() + 1;
    const std::uint32_t packSize = Word(dfl, at), unpackSize = Word(dfl, at + 4);
    entry.packed = (packSize & 0x80000000u) != 0;
    entry.bytes = unstore(at + 8, packSize, unpackSize);
    at += 8 + (packSize & 0x7FFFFFFFu);
    entries.push_back(entry);
  }
  EXPECT_EQ(at, dfl.size());
  return entries;
}

class ArchiveCompareTest : public ::testing::Test {
 protected:
  bool Compare(mkstep::ArchiveStats& stats, std::string& error)
  {
    const mkstep::Packing packing{&Pack, &Unpack, &PackFree};
    return mkstep::CompareArchive(m_dir / "old", m_dir / "new", m_dir / "main.dfl", packing, stats,
                                  error);
  }
  TempDir m_dir;
};

TEST_F(ArchiveCompareTest, ChangedAndNewEntriesGoIntoTheDflByTheirUnpackedBytes)
{
  const std::string large(20000, 'L');
  WriteArchive(m_dir / "old", {{"same.txt", "S"},
                               {"restored.bin", large, true},
                               {"changed.txt", "old"},
                               {"gone.txt", "G"}});
  WriteArchive(m_dir / "new",
               {{"restored.bin", large},  // stored unpacked now: still the same
                {"changed.txt", large + "!"},
                {"same.txt", "S"},
                {"new.txt", "N"},
                {"same.txt", "a later entry of a name is never read"}},
               /*packNames=*/true);
  mkstep::ArchiveStats stats;
  std::string error;
  ASSERT_TRUE(Compare(stats, error)) << error;
  EXPECT_EQ(stats.entries, 4u);
  EXPECT_EQ(stats.same, 2u);
  EXPECT_EQ(stats.changed, 1u);
  EXPECT_EQ(stats.added, 1u);
  EXPECT_EQ(stats.changedBytes, large.size() + 2);
  EXPECT_THAT(stats.kept, ElementsAre("gone.txt"));
  EXPECT_THAT(stats.duplicates, ElementsAre("same.txt"));
  const std::vector<DflEntry> dfl = ReadDfl(m_dir / "main.dfl");
  ASSERT_EQ(dfl.size(), 2u);
  EXPECT_EQ(dfl[0].name, "changed.txt");
  EXPECT_TRUE(dfl[0].packed);  // smaller packed
  EXPECT_EQ(dfl[0].bytes, large + "!");
  EXPECT_EQ(dfl[1].name, "new.txt");
  EXPECT_FALSE(dfl[1].packed);  // a byte does not pack smaller
  EXPECT_EQ(dfl[1].bytes, "N");
  EXPECT_EQ(stats.dflBytes, fs::file_size(m_dir / "main.dfl"));
}

TEST_F(ArchiveCompareTest, EqualArchivesMakeNoDflAndBrokenOnesAreRefused)
{
  WriteArchive(m_dir / "old", {{"a.txt", "A"}});
  WriteArchive(m_dir / "new", {{"a.txt", "A", true}});
  mkstep::ArchiveStats stats;
  std::string error;
  ASSERT_TRUE(Compare(stats, error)) << error;
  EXPECT_EQ(stats.same, 1u);
  EXPECT_FALSE(fs::exists(m_dir / "main.dfl"));

  // name-table-count-too-large: the count claims more names than there are.
  std::string dat = ReadFile(m_dir / "new.dat");
  dat.replace(0, 4, Le32(1000));
  WriteFile(m_dir / "new.dat", dat);
  EXPECT_FALSE(Compare(stats, error));
  EXPECT_THAT(error, ::testing::HasSubstr("name table"));
  // entry-outside-dat: a record points past the end of the .dat.
  WriteArchive(m_dir / "new", {{"a.txt", "B"}});
  std::string hed = ReadFile(m_dir / "new.hed");
  hed.replace(12, 4, Le32(1u << 20));
  WriteFile(m_dir / "new.hed", hed);
  EXPECT_FALSE(Compare(stats, error));
  EXPECT_THAT(error, ::testing::HasSubstr("entry 1"));
}

// A step the launcher cannot apply fails the check with the launcher's own
// words; without them the publisher saw no reason at all.
TEST(CheckStepTest, AStepTheLauncherCannotApplyFailsWithTheLaunchersLines)
{
  TempDir dir;
  const fs::path oldGame = dir.path() / "old", newGame = dir.path() / "new";
  fs::create_directories(oldGame);
  fs::create_directories(newGame);
  WriteFile(oldGame / "orv.ver", "6\r\n");
  WriteFile(newGame / "orv.ver", "7\r\n");
  WriteFile(newGame / "kept.txt", "shipped");
  const fs::path step = dir.path() / "step";
  fs::create_directories(step);
  const mkstep::Packing packing{&Pack, &Unpack, &PackFree};
  mkstep::StepReport report;
  std::string error;
  ASSERT_TRUE(mkstep::MakeStep(oldGame, newGame, step, 7, packing, {}, report, error)) << error;
  WriteFile(step / "add_list.txt", "2\r\nkept.txt\r\n");
  std::vector<std::string> problems;
  ASSERT_TRUE(mkstep::CheckStep(oldGame, newGame, step, 7, false, report, problems, error))
      << error;
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_THAT(problems[0], ::testing::HasSubstr("the launcher did not apply the step"));
  EXPECT_THAT(
      problems[0],
      ::testing::HasSubstr(mkstep::Utf8Name("add_list.txtで取得したファイル数との違いがあります")));
}

std::vector<std::vector<std::string>> Names(const std::vector<mkstep::CabinetPlan>& plans)
{
  std::vector<std::vector<std::string>> names;
  for (const mkstep::CabinetPlan& plan : plans) {
    names.emplace_back();
    for (const StepFile& file : plan.files)
      names.back().push_back(plan.name + ":" + file.name);
  }
  return names;
}

TEST(SplitCabinetsTest, FilesKeepTheirOrderAndFillCabinetsUpToTheLimit)
{
  const std::vector<StepFile> files = {
      {"a.dfl", {}, 60}, {"b", {}, 60}, {"c", {}, 30}, {"big", {}, 250}, {"d", {}, 10}};
  const StepFile version{"orv.ver", {}, 4};
  EXPECT_THAT(Names(mkstep::SplitCabinets(files, version, 100, 42, {})),
              ElementsAre(ElementsAre("step42-001.cab:a.dfl"),
                          ElementsAre("step42-002.cab:b", "step42-002.cab:c"),
                          ElementsAre("step42-003.cab:big"),
                          ElementsAre("step42-004.cab:d", "step42-004.cab:orv.ver")));
  // Nothing to carry but the version; a full last cabinet; a name taken in
  // the work folder.
  EXPECT_THAT(Names(mkstep::SplitCabinets({}, version, 100, 7, {})),
              ElementsAre(ElementsAre("step7-001.cab:orv.ver")));
  EXPECT_THAT(Names(mkstep::SplitCabinets({{"a", {}, 1}, {"b", {}, 1}}, version, 100, 7,
                                          {"step7-002.cab"}, 2)),
              ElementsAre(ElementsAre("step7a-001.cab:a", "step7a-001.cab:b"),
                          ElementsAre("step7a-002.cab:orv.ver")));
  // The version file never takes the last cabinet past what the extractor
  // accepts.
  EXPECT_THAT(Names(mkstep::SplitCabinets({{"a", {}, 98}}, version, 100, 7, {},
                                          mkstep::kMaxCabinetFiles, 100)),
              ElementsAre(ElementsAre("step7-001.cab:a"), ElementsAre("step7-002.cab:orv.ver")));
}

}  // namespace
}  // namespace orv::test
