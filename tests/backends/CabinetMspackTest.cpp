#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/posix/CabinetMspack.h"
#include "platform/posix/Cp932.h"
#include "support/CabinetMaker.h"
#include "support/TempDir.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;

std::string LauncherPath(const fs::path& path)
{
  std::string launcher;
  EXPECT_TRUE(posix::Utf8ToCp932(path.string(), launcher));
  return launcher;
}

std::uint32_t Get(const std::string& bytes, std::size_t at, int width)
{
  std::uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  return value;
}

void Put(std::string& bytes, std::size_t at, int width, std::uint32_t value)
{
  for (int i = 0; i < width; ++i)
    bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
}

// Offsets of the cabinet header and of its first folder and file entries
// (cabinets made by libgcab have no reserved areas).
constexpr std::size_t kCabinetSize = 0x08;
constexpr std::size_t kFilesOffset = 0x10;
constexpr std::size_t kFolderCount = 0x1A;
constexpr std::size_t kFlags = 0x1E;
constexpr std::size_t kFirstFolder = 0x24;  // u32 first data block, u16 block count, u16 method
constexpr std::size_t kFileLength = 0;      // within a file entry
constexpr std::size_t kFileAttributes = 14;
constexpr std::size_t kFileName = 16;

// A walk that sends file i to targets/i, extracting it unless decide says
// otherwise, and records what the callback saw.
struct Walk {
  struct Seen {
    std::string name;
    std::uint32_t size;
  };
  std::vector<Seen> seen;
  std::uint32_t result = 0;

  void Run(const fs::path& cabinet, const fs::path& targets,
           CabinetFileAction (*decide)(std::size_t index) = nullptr)
  {
    posix::CabinetMspack walker;
    result = walker.Iterate(LauncherPath(cabinet).c_str(),
                            [&](const char* name, std::uint32_t size, std::string& target) {
                              seen.push_back({name, size});
                              target = LauncherPath(targets / std::to_string(seen.size() - 1));
                              return decide ? decide(seen.size() - 1) : CabinetFileAction::Extract;
                            });
  }
};

std::vector<std::string> Listing(const fs::path& folder)
{
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Enough text to fill several 32 KiB data blocks, compressible but not trivially.
std::string BigContent()
{
  std::string text;
  std::uint32_t state = 12345;
  while (text.size() < 100000) {
    state = state * 1103515245u + 12345u;
    text += static_cast<char>('a' + (state >> 16) % 7);
  }
  return text;
}

// --- Extraction ---

TEST(CabinetMspack, EveryFileReachesTheTargetChosenForItStoredOrCompressed)
{
  // The last file is read from disk as the cabinet is written.
  TempDir sources;
  WriteFile(sources / "disk.bin", BigContent() + "tail");
  const std::vector<CabinetFile> files = {{"top.txt", "top"},
                                          {"data\\sub\\a.txt", "hello"},
                                          {"data/big.bin", BigContent()},
                                          {"empty.txt", ""},
                                          {"disk.bin", "", sources / "disk.bin"}};
  for (bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "MSZIP" : "stored");
    TempDir dir;
    ASSERT_TRUE(MakeCabinet(dir / "step.cab", files, compress));
    fs::create_directory(dir / "out");
    WriteFile(dir / "out" / "1", "an older and longer file that the walk replaces");

    Walk walk;
    walk.Run(dir / "step.cab", dir / "out");

    EXPECT_EQ(walk.result, 0u);
    ASSERT_EQ(walk.seen.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
      // Separators arrive as `\` however the cabinet was described.
      EXPECT_EQ(walk.seen[i].name, i == 2 ? "data\\big.bin" : files[i].name);
      const std::string content =
          files[i].source.empty() ? files[i].content : ReadFile(files[i].source);
      EXPECT_EQ(walk.seen[i].size, content.size());
      EXPECT_EQ(ReadFile(dir / "out" / std::to_string(i)), content) << i;
    }
    // The files land only where the callback said: no in-cabinet folders, no partial files.
    EXPECT_EQ(Listing(dir / "out"), (std::vector<std::string>{"0", "1", "2", "3", "4"}));
  }
}

TEST(CabinetMspack, SkipLeavesAFileOutAndAbortEndsTheWalkCancelled)
{
  TempDir dir;
  ASSERT_TRUE(MakeCabinet(dir / "step.cab", {{"a", "A"}, {"b", "B"}, {"c", "C"}, {"d", "D"}}));
  Walk walk;
  walk.Run(dir / "step.cab", dir.path(), [](std::size_t index) {
    return index == 0 ? CabinetFileAction::Skip
                      : index == 1 ? CabinetFileAction::Extract : CabinetFileAction::Abort;
  });
  EXPECT_EQ(walk.result, err::kCancelled);
  ASSERT_EQ(walk.seen.size(), 3u);  // nothing after Abort
  EXPECT_FALSE(fs::exists(dir / "0"));  // the target was filled in, but Skip won
  EXPECT_EQ(ReadFile(dir / "1"), "B");
  EXPECT_FALSE(fs::exists(dir / "2"));
}

// --- Names ---

TEST(CabinetMspack, JapaneseNamesArriveAsShiftJisAndTargetsAreShiftJisPaths)
{
  TempDir dir;
  // "ソ" is 83 5C in Shift_JIS: its second byte must not split the name.
  ASSERT_TRUE(MakeCabinet(dir / "step.cab", {{"ゲーム\\ソ.txt", "so"}}));
  fs::create_directory(dir / "\xE3\x82\xBD");  // ソ in UTF-8
  std::string name;
  posix::CabinetMspack walker;
  const std::uint32_t result = walker.Iterate(
      LauncherPath(dir / "step.cab").c_str(),
      [&](const char* inCabinet, std::uint32_t, std::string& target) {
        name = inCabinet;
        target = LauncherPath(dir.path()) + "\\ソ\\表.txt";
        return CabinetFileAction::Extract;
      });
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(name, "ゲーム\\ソ.txt");
  EXPECT_EQ(ReadFile(dir / "\xE3\x82\xBD" / "\xE8\xA1\xA8.txt"), "so");
}

TEST(CabinetMspack, NamesWithoutTheUtf8MarkAreTakenAsShiftJisBytes)
{
  // Cabinets made on a Japanese system store names in code page 932 unmarked.
  TempDir dir;
  ASSERT_TRUE(MakeCabinet(dir / "step.cab", {{"xx.txt", "so"}}));
  std::string bytes = ReadFile(dir / "step.cab");
  const std::size_t entry = Get(bytes, kFilesOffset, 4);
  bytes.replace(entry + kFileName, 2, "ソ");
  WriteFile(dir / "step.cab", bytes);

  Walk walk;
  walk.Run(dir / "step.cab", dir.path());
  EXPECT_EQ(walk.result, 0u);
  ASSERT_EQ(walk.seen.size(), 1u);
  EXPECT_EQ(walk.seen[0].name, "ソ.txt");

  // Marked as UTF-8 but not: the walk fails rather than drop the file unseen.
  bytes[entry + kFileName] = '\xFF';
  Put(bytes, entry + kFileAttributes, 2, Get(bytes, entry + kFileAttributes, 2) | 0x80);
  WriteFile(dir / "step.cab", bytes);
  Walk marked;
  marked.Run(dir / "step.cab", dir.path());
  EXPECT_EQ(marked.result, err::kInvalidName);
  EXPECT_TRUE(marked.seen.empty());
}

TEST(CabinetMspack, NamesThatLeaveTheFolderArriveVerbatimAndAreNeverUsedAsPaths)
{
  // Judging names is the caller's; the back-end writes only where it is told.
  TempDir dir;
  const fs::path inner = dir / "a" / "b";
  fs::create_directories(inner);
  ASSERT_TRUE(MakeCabinet(inner / "step.cab", {{"..\\..\\evil.txt", "x"}, {"\\root.txt", "y"}}));
  Walk walk;
  walk.Run(inner / "step.cab", inner);
  EXPECT_EQ(walk.result, 0u);
  ASSERT_EQ(walk.seen.size(), 2u);
  EXPECT_EQ(walk.seen[0].name, "..\\..\\evil.txt");
  EXPECT_EQ(walk.seen[1].name, "\\root.txt");
  EXPECT_EQ(ReadFile(inner / "0"), "x");
  EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"a"});
}

// --- Cabinets that cannot be walked ---

TEST(CabinetMspack, AMissingCabinetOrAFileThatIsNoneIsRefusedBeforeAnyCallback)
{
  TempDir dir;
  WriteFile(dir / "text.cab", "this is not a cabinet, only some text of some length");
  WriteFile(dir / "empty.cab", "");
  WriteFile(dir / "header.cab", "MSCF\0\0\0\0");
  const std::pair<const char*, std::uint32_t> cases[] = {{"missing.cab", err::kFileNotFound},
                                                         {"text.cab", err::kInvalidData},
                                                         {"empty.cab", err::kInvalidData},
                                                         {"header.cab", err::kInvalidData}};
  for (const auto& [name, expected] : cases) {
    Walk walk;
    walk.Run(dir / name, dir.path());
    EXPECT_EQ(walk.result, expected) << name;
    EXPECT_TRUE(walk.seen.empty()) << name;
  }
}

// A damaged cabinet ends the walk with kInvalidData, with no crash, with no
// partial file at the target and with the file it would have replaced intact.
void ExpectDamagedCabinetRefused(const fs::path& cabinet, const fs::path& targets)
{
  fs::create_directory(targets);
  WriteFile(targets / "1", "kept");
  Walk walk;
  walk.Run(cabinet, targets);
  EXPECT_EQ(walk.result, err::kInvalidData);
  EXPECT_EQ(ReadFile(targets / "1"), "kept");
  for (const std::string& name : Listing(targets))
    EXPECT_TRUE(name == "0" || name == "1") << "left behind: " << name;
}

TEST(CabinetMspack, DamagedCabinetsFailWithoutLeavingPartialFiles)
{
  TempDir dir;
  const std::vector<CabinetFile> files = {{"small.txt", "small"}, {"big.bin", BigContent()}};
  ASSERT_TRUE(MakeCabinet(dir / "good.cab", files));
  const std::string good = ReadFile(dir / "good.cab");
  const std::size_t firstBlock = Get(good, kFirstFolder, 4);
  const std::size_t blocks = Get(good, kFirstFolder + 4, 2);
  ASSERT_GT(blocks, 1u);

  {
    SCOPED_TRACE("cut in half");
    WriteFile(dir / "cut.cab", good.substr(0, good.size() / 2));
    ExpectDamagedCabinetRefused(dir / "cut.cab", dir / "cut");
  }
  {
    SCOPED_TRACE("flipped bytes, caught by the block checksum");
    std::string bytes = good;
    for (std::size_t i = good.size() / 2; i < good.size() / 2 + 16; ++i)
      bytes[i] = static_cast<char>(~bytes[i]);
    WriteFile(dir / "flipped.cab", bytes);
    ExpectDamagedCabinetRefused(dir / "flipped.cab", dir / "flipped");
  }
  {
    SCOPED_TRACE("garbage compressed data without checksums, left to the decompressor");
    std::string bytes = good;
    std::size_t block = firstBlock;
    for (std::size_t i = 0; i < blocks; ++i) {
      Put(bytes, block, 4, 0);
      const std::size_t size = Get(bytes, block + 4, 2);
      if (i == 1)
        for (std::size_t at = block + 8 + 2; at < block + 8 + size; at += 3)
          bytes[at] = static_cast<char>(bytes[at] * 7 + 1);
      block += 8 + size;
    }
    WriteFile(dir / "garbage.cab", bytes);
    ExpectDamagedCabinetRefused(dir / "garbage.cab", dir / "garbage");
  }
  {
    SCOPED_TRACE("a file longer than the data behind it");
    std::string bytes = good;
    const std::size_t second = Get(good, kFilesOffset, 4) + kFileName + sizeof "small.txt";
    Put(bytes, second + kFileLength, 4, Get(bytes, second + kFileLength, 4) + 20000);
    WriteFile(dir / "long.cab", bytes);
    ExpectDamagedCabinetRefused(dir / "long.cab", dir / "long");
  }
}

TEST(CabinetMspack, APartOfAMultiCabinetSetIsRefusedWhole)
{
  // The next or previous cabinet's name and disk follow the header; every
  // offset after them moves.
  TempDir dir;
  ASSERT_TRUE(MakeCabinet(dir / "good.cab", {{"a.txt", "A"}}));
  const std::string good = ReadFile(dir / "good.cab");
  for (std::uint32_t flag : {0x01u, 0x02u}) {
    SCOPED_TRACE(flag);
    const std::string names("other.cab\0disk\0", 15);
    std::string bytes = good.substr(0, kFirstFolder) + names + good.substr(kFirstFolder);
    Put(bytes, kFlags, 2, flag);
    Put(bytes, kCabinetSize, 4, Get(bytes, kCabinetSize, 4) + names.size());
    Put(bytes, kFilesOffset, 4, Get(bytes, kFilesOffset, 4) + names.size());
    const std::size_t folder = kFirstFolder + names.size();
    ASSERT_EQ(Get(bytes, kFolderCount, 2), 1u);
    Put(bytes, folder, 4, Get(bytes, folder, 4) + names.size());
    WriteFile(dir / "part.cab", bytes);

    Walk walk;
    walk.Run(dir / "part.cab", dir.path());
    EXPECT_EQ(walk.result, err::kInvalidData);
    EXPECT_TRUE(walk.seen.empty());
  }
}

TEST(CabinetMspack, ATargetThatCannotBeWrittenEndsTheWalk)
{
  TempDir dir;
  ASSERT_TRUE(MakeCabinet(dir / "step.cab", {{"a.txt", "A"}, {"b.txt", "B"}}));
  Walk walk;
  walk.Run(dir / "step.cab", dir / "no-such-folder");
  EXPECT_EQ(walk.result, err::kPathNotFound);
  EXPECT_EQ(walk.seen.size(), 1u);
}

}  // namespace
}  // namespace orv::test
