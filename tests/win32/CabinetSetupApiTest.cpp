#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "Win32TestSupport.h"
#include "patchkit/CabinetWriter.h"
#include "platform/ErrorCodes.h"
#include "platform/win32/CabinetSetupApi.h"

namespace orv::test::win32 {
namespace {

using patchkit::CabinetFile;
using patchkit::CabinetLayout;

// The bytes of a cabinet made by the kit's writer.
std::string MakeCabinet(const std::vector<CabinetFile>& files, const CabinetLayout& layout = {})
{
  std::string cabinet, error;
  if (!patchkit::WriteCabinet(files, layout, cabinet, error))
    ADD_FAILURE() << error;
  return cabinet;
}

// Enough bytes for several data blocks, none of them alike: MSZIP cannot
// shrink them.
std::string BigContent(std::size_t size = 100000)
{
  std::string text;
  std::uint32_t state = 12345;
  while (text.size() < size) {
    state = state * 1103515245u + 12345u;
    text += static_cast<char>(state >> 16);
  }
  return text;
}

// Several data blocks of a pattern whose period divides no block: MSZIP
// blocks refer back into the block before them.
std::string RepeatingContent()
{
  const std::string period = BigContent(1000);
  std::string text;
  while (text.size() < 100000)
    text += period;
  return text;
}

// A walk that sends file i to targets\i unless decide says otherwise, and
// records what the callback saw.
struct Walk {
  struct Seen {
    std::string name;
    std::uint32_t size;
  };
  std::vector<Seen> seen;
  std::uint32_t result = 0;

  void Run(const std::string& cabinet, const std::string& targets,
           CabinetFileAction (*decide)(std::size_t index) = nullptr)
  {
    orv::win32::CabinetSetupApi walker;
    result = walker.Iterate(cabinet.c_str(),
                            [&](const char* name, std::uint32_t size, std::string& target) {
                              seen.push_back({name, size});
                              target = targets + "\\" + std::to_string(seen.size() - 1);
                              return decide ? decide(seen.size() - 1) : CabinetFileAction::Extract;
                            });
  }
};

std::vector<std::string> Listing(const std::string& folder)
{
  std::vector<std::string> names;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE)
    return names;
  do {
    if (std::string(data.cFileName) != "." && std::string(data.cFileName) != "..")
      names.push_back(data.cFileName);
  } while (FindNextFileA(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CabinetSetupApi, EveryFileReachesTheTargetChosenForIt)
{
  const std::vector<CabinetFile> files = {{"top.txt", "top"},
                                          {"data\\sub\\a.txt", "hello"},
                                          {"ゲーム\\ソ.bin", BigContent()},
                                          {"empty.txt", ""},
                                          {"repeating.bin", RepeatingContent()}};
  for (bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "MSZIP" : "stored");
    TempFolder dir;
    WriteWholeFile(dir / "step.cab", MakeCabinet(files, {.compress = compress}));
    CreateDirectoryA((dir / "out").c_str(), nullptr);
    WriteWholeFile(dir / "out\\1", "an older and longer file that the walk replaces");

    Walk walk;
    walk.Run(dir / "step.cab", dir / "out");

    EXPECT_EQ(walk.result, 0u);
    ASSERT_EQ(walk.seen.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
      // In-cabinet names arrive as the Shift_JIS bytes they were stored as.
      EXPECT_EQ(walk.seen[i].name, files[i].name);
      EXPECT_EQ(walk.seen[i].size, files[i].content.size());
      EXPECT_TRUE(ReadWholeFile(dir / ("out\\" + std::to_string(i))) == files[i].content) << i;
    }
    // Files land only where the callback said: no in-cabinet folders, no partial files.
    EXPECT_EQ(Listing(dir / "out"), (std::vector<std::string>{"0", "1", "2", "3", "4"}));
  }
}

// Packing tools store a name outside ASCII in UTF-8 and mark it so; SetupAPI
// under wine hands such a name on as those bytes, which the walk passed to
// the launcher as if they were Shift_JIS.
TEST(CabinetSetupApi, NamesMarkedAsUtf8ArriveInShiftJis)
{
  TempFolder dir;
  const std::string utf8 = reinterpret_cast<const char*>(u8"ゲーム\\ソ.bin");
  // Marked, but already in Shift_JIS ("ソ" is 83 5C, no UTF-8): kept.
  WriteWholeFile(dir / "step.cab", MakeCabinet({{utf8, "1"}, {"plain.txt", "2"}, {"ソ.txt", "3"}},
                                               {.utf8Names = true}));
  CreateDirectoryA((dir / "out").c_str(), nullptr);
  Walk walk;
  walk.Run(dir / "step.cab", dir / "out");
  EXPECT_EQ(walk.result, 0u);
  ASSERT_EQ(walk.seen.size(), 3u);
  EXPECT_EQ(walk.seen[0].name, "ゲーム\\ソ.bin");
  EXPECT_EQ(walk.seen[1].name, "plain.txt");
  EXPECT_EQ(walk.seen[2].name, "ソ.txt");
  EXPECT_EQ(ReadWholeFile(dir / "out\\0"), "1");

  // A name the launcher cannot spell ends the walk before the file is offered.
  WriteWholeFile(dir / "emoji.cab",
                 MakeCabinet({{reinterpret_cast<const char*>(u8"\U0001F600.txt"), "x"}},
                             {.utf8Names = true}));
  Walk emoji;
  emoji.Run(dir / "emoji.cab", dir / "out");
  EXPECT_EQ(emoji.result, err::kInvalidName);
  EXPECT_TRUE(emoji.seen.empty());
}

TEST(CabinetSetupApi, SkipLeavesAFileOutAndAbortEndsTheWalkCancelled)
{
  TempFolder dir;
  WriteWholeFile(dir / "step.cab", MakeCabinet({{"a", "A"}, {"b", "B"}, {"c", "C"}, {"d", "D"}}));
  CreateDirectoryA((dir / "out").c_str(), nullptr);
  Walk walk;
  walk.Run(dir / "step.cab", dir / "out", [](std::size_t index) {
    return index == 0 ? CabinetFileAction::Skip
                      : index == 1 ? CabinetFileAction::Extract : CabinetFileAction::Abort;
  });
  EXPECT_EQ(walk.result, err::kCancelled);
  EXPECT_EQ(walk.seen.size(), 3u);  // nothing after Abort
  EXPECT_EQ(Listing(dir / "out"), std::vector<std::string>{"1"});
  EXPECT_EQ(ReadWholeFile(dir / "out\\1"), "B");
}

TEST(CabinetSetupApi, AWalkThatCannotBeCompletedFailsAndLeavesNoPartialFile)
{
  TempFolder dir;
  Walk missing;
  missing.Run(dir / "missing.cab", dir.path());
  EXPECT_NE(missing.result, 0u);

  WriteWholeFile(dir / "junk.cab", "this is no cabinet at all, only text");
  Walk junk;
  junk.Run(dir / "junk.cab", dir.path());
  EXPECT_NE(junk.result, 0u);
  EXPECT_TRUE(junk.seen.empty());

  // The target's folder is missing.
  WriteWholeFile(dir / "step.cab", MakeCabinet({{"a", "A"}}));
  Walk noFolder;
  noFolder.Run(dir / "step.cab", dir / "missing");
  EXPECT_NE(noFolder.result, 0u);

  // One part of a multi-cabinet set is refused before any file is offered.
  for (std::uint16_t flags : {patchkit::kCabinetHasNext, patchkit::kCabinetHasPrevious}) {
    WriteWholeFile(dir / "part.cab", MakeCabinet({{"a", "A"}}, {.setFlags = flags}));
    Walk part;
    part.Run(dir / "part.cab", dir.path());
    EXPECT_EQ(part.result, err::kInvalidData);
    EXPECT_TRUE(part.seen.empty());
  }

  // A cabinet cut short inside its data: the file it was writing is gone.
  std::string cut = MakeCabinet({{"a", std::string(70000, 'a')}});
  cut.resize(cut.size() - 20000);
  CreateDirectoryA((dir / "out").c_str(), nullptr);
  WriteWholeFile(dir / "cut.cab", cut);
  Walk truncated;
  truncated.Run(dir / "cut.cab", dir / "out");
  EXPECT_NE(truncated.result, 0u);
  EXPECT_TRUE(Listing(dir / "out").empty());
}

TEST(CabinetSetupApi, TargetsThatCannotBeUsedEndTheWalk)
{
  TempFolder dir;
  WriteWholeFile(dir / "step.cab", MakeCabinet({{"a", "A"}, {"b", "B"}}));
  orv::win32::CabinetSetupApi walker;
  int calls = 0;
  EXPECT_EQ(walker.Iterate((dir / "step.cab").c_str(),
                           [&](const char*, std::uint32_t, std::string&) {
                             ++calls;
                             return CabinetFileAction::Extract;  // and no target
                           }),
            err::kInvalidParameter);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(walker.Iterate((dir / "step.cab").c_str(),
                           [&](const char*, std::uint32_t, std::string& target) {
                             target = dir / std::string(MAX_PATH, 'x');
                             return CabinetFileAction::Extract;
                           }),
            err::kFilenameTooLong);
  // An exception of the callback reaches the caller instead of unwinding
  // through SetupAPI.
  EXPECT_THROW(walker.Iterate((dir / "step.cab").c_str(),
                              [](const char*, std::uint32_t, std::string&) -> CabinetFileAction {
                                throw std::runtime_error("callback failed");
                              }),
               std::runtime_error);
}

}  // namespace
}  // namespace orv::test::win32
