// The publisher's path end to end: two game versions, the step orv-mkstep
// makes and checks from them, and a launcher that updates the old version
// over HTTP from the patch root the tool wrote.
#include <gmock/gmock.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "MkStep.h"
#include "Signer.h"
#include "app/CGlobal.h"
#include "patcher/CPatcher.h"
#include "patcher/StepManifest.h"
#include "support/ArchiveMaker.h"
#include "support/FrameFixture.h"
#include "support/LoopbackServer.h"
#include "support/PluginFolder.h"
#include "support/UpdateKeys.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// Runs orv-mkstep from beside the tests; its standard output goes to `out`.
int RunTool(const std::vector<std::string>& arguments, const fs::path& out)
{
  std::string command = "\"" + (ExecutableFolder() / ProgramFileName("orv-mkstep")).string() + "\"";
  for (const std::string& argument : arguments)
    command += " \"" + argument + "\"";
  command += " >\"" + out.string() + "\"";
#ifdef _WIN32
  // cmd drops the first and last quote of the line.
  command = "\"" + command + "\"";
  return std::system(command.c_str());
#else
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

// A UTF-8 literal as the bytes the tool's messages hold.
std::string U8(const char8_t* text)
{
  return reinterpret_cast<const char*>(text);
}

// Compressible bytes of some size, different for every seed.
std::string Filler(std::size_t size, char seed)
{
  std::string text;
  while (text.size() < size)
    text += "line " + std::to_string(text.size()) + " of " + seed + "\n";
  return text.substr(0, size);
}

class MkStepTest : public FrameFixture {
 protected:
  MkStepTest() { m_server.ServeFolder(m_root.path()); }

  // Version 41 and 42 of a game, with every kind of change a step carries
  // and every kind it cannot.
  void MakeGames()
  {
    for (const fs::path& game : {m_old, m_new}) {
      fs::create_directories(game / "data_x");
      fs::create_directories(game / "data");
      WriteFile(game / "orv.exe", "MZ");
      WriteFile(game / "same.txt", "unchanged");
    }
    WriteFile(m_old / "orv.ver", "41\r\n");
    WriteFile(m_new / "orv.ver", "42\r\n");
    // The main archive: a changed, a new packed, a re-stored but equal and a
    // dropped entry.
    WriteArchive(m_old / "data" / "main", {{"a.txt", "A41"},
                                           {"b\\c.bin", "C41", true},
                                           {"gone.txt", "G"},
                                           {"big.bin", Filler(70000, 'o'), true}});
    WriteArchive(m_new / "data" / "main", {{"a.txt", "A42"},
                                           {"b\\c.bin", "C41"},
                                           {"big.bin", Filler(70000, 'n'), true},
                                           {"new.txt", Filler(5000, 'x'), true}});
    // A .dfl cannot name this one; a new archive cannot be patched.
    WriteArchive(m_old / "data_x" / "sub", {{"s.txt", "S41"}});
    WriteArchive(m_new / "data_x" / "sub", {{"s.txt", "S42"}});
    fs::create_directories(m_new / "extra");
    WriteArchive(m_new / "extra" / "pack", {{"p.txt", "P42", true}});
    // Plain files: a changed one, a new one in a new folder, one under a
    // Japanese name whose second byte is `\`, and one deleted.
    WriteFile(m_old / "readme.txt", "read me 41");
    WriteFile(m_new / "readme.txt", "read me 42");
    fs::create_directories(m_new / "maps" / "m1");
    WriteFile(m_new / "maps" / "m1" / "map.dat", Filler(3000, 'm'));
    fs::create_directories(m_new / fs::path(u8"能力"));
    WriteFile(m_new / fs::path(u8"能力") / fs::path(u8"表.txt"), "hyou");
    WriteFile(m_old / "old.txt", "deleted in 42");
  }

  // What the report says the result may differ by.
  static mkstep::StepReport Explained()
  {
    mkstep::StepReport report;
    report.notes = {{mkstep::NoteKind::FileKept, "old.txt", "", ""},
                    {mkstep::NoteKind::EntryKept, "data\\main", "gone.txt", ""}};
    return report;
  }

  std::vector<std::string> Differences(const fs::path& game)
  {
    mkstep::Packing packing{&Pack, &Unpack, &PackFree};
    std::vector<std::string> problems;
    std::string error;
    EXPECT_TRUE(mkstep::CompareGames(game, m_new, Explained(), packing, problems, error)) << error;
    return problems;
  }

  TempDir m_games;
  fs::path m_old = m_games.path() / "old";
  fs::path m_new = m_games.path() / "new";
  TempDir m_root;
  LoopbackServer m_server;
};

TEST_F(MkStepTest, StepMadeCheckedAndServedBringsTheOldGameToTheNewOne)
{
  MakeGames();
  const fs::path out = m_games.path() / "report.txt";
  ASSERT_EQ(RunTool({m_old.string(), m_new.string(), m_root.path().string(), "--check",
                     "--allow-incomplete"},
                    out),
            0)
      << ReadFile(out);
  const std::string report = ReadFile(out);
  EXPECT_THAT(report, HasSubstr("archive data\\main: patched, 4 entries: 1 same, 2 changed, 1 new, "
                                "1 kept"));
  for (const char* item :
       {"gap: file-kept old.txt", "gap: entry-kept data\\main : gone.txt",
        "note: archive-as-files data_x\\sub", "note: archive-as-files extra\\pack"})
    EXPECT_THAT(report, HasSubstr(item));
  EXPECT_THAT(report, HasSubstr("check passed"));
  EXPECT_EQ(ReadFile(m_root.path() / "orv" / "orvnew.ver"), "42\r\n");
  // Nothing but the step itself is left beside it.
  std::vector<std::string> served;
  for (const auto& entry : fs::directory_iterator(m_root.path()))
    served.push_back(entry.path().filename().string());
  std::sort(served.begin(), served.end());
  EXPECT_EQ(served, (std::vector<std::string>{".orv-mkstep.lock", "D00000042", "orv"}));

  // A launcher on version 41 updates over HTTP from the patch root.
  m_deployment.patchHost = "127.0.0.1";
  m_deployment.patchPort = m_server.port();
  CGlobal& global = StartLauncher();
  const fs::path game = m_start.path() / "game";
  // The game folder holds the same orv.exe as OLD; the rest is copied.
  for (const auto& entry : fs::directory_iterator(m_old))
    if (entry.path().filename() != "orv.exe")
      fs::copy(entry.path(), game / entry.path().filename(), fs::copy_options::recursive);
  WriteFile(game / "orv.exe", "MZ");
  VersionState versions;
  versions.localVersion = 41;
  versions.serverVersion = 42;
  CPatcher patcher(global, versions);
  patcher.OpenSession(10000);
  global.workerRun = 1;
  ASSERT_TRUE(patcher.RunStepUpdate()) << ::testing::PrintToString(m_view.LogLines());
  EXPECT_THAT(Differences(game), IsEmpty());
  // A launcher without the publisher's key asks for nothing more.
  for (const HttpRequestSeen& request : m_server.Requests())
    EXPECT_EQ(request.path.find("manifest"), std::string::npos) << request.path;
  // Without the allowances, exactly the reported items stand out.
  std::vector<std::string> problems;
  std::string error;
  mkstep::Packing packing{&Pack, &Unpack, &PackFree};
  ASSERT_TRUE(mkstep::CompareGames(game, m_new, {}, packing, problems, error)) << error;
  // On Windows the folder maker also left 能 beside 能力.
  EXPECT_EQ(problems.size(), 2u) << ::testing::PrintToString(problems);
}

TEST_F(MkStepTest, TheNextVersionAddsTheNextStepAndWrongVersionsAreRefused)
{
  MakeGames();
  const fs::path out = m_games.path() / "report.txt";
  const std::string root = m_root.path().string();
  // Not N and N+1, or a step the server offers already: status 2, nothing
  // written.
  EXPECT_EQ(RunTool({m_new.string(), m_old.string(), root}, out), 2);
  EXPECT_FALSE(fs::exists(m_root.path() / "orv" / "orvnew.ver"));
  EXPECT_EQ(RunTool({m_old.string(), m_new.string(), root, "--cab-size", "0"}, out), 2);
  // Gaps refuse the step unless the publisher accepts them.
  EXPECT_EQ(RunTool({m_old.string(), m_new.string(), root, "--json"}, out), 4);
  EXPECT_FALSE(fs::exists(m_root.path() / "D00000042"));
  ASSERT_EQ(RunTool({m_old.string(), m_new.string(), root, "--json", "--allow-incomplete"}, out),
            0);
  EXPECT_THAT(ReadFile(out), HasSubstr("\"archivesPatched\": 1"));
  EXPECT_EQ(RunTool({m_old.string(), m_new.string(), root, "--allow-incomplete"}, out), 2);

  const fs::path newer = m_games.path() / "newer";
  fs::copy(m_new, newer, fs::copy_options::recursive);
  WriteFile(newer / "orv.ver", "43\r\n");
  WriteFile(newer / "maps" / "m1" / "map.dat", Filler(300000, 'z'));
  ASSERT_EQ(RunTool({m_new.string(), newer.string(), root, "--check", "--cab-size", "1"}, out), 0)
      << ReadFile(out);
  EXPECT_EQ(ReadFile(m_root.path() / "orv" / "orvnew.ver"), "43\r\n");
  EXPECT_TRUE(fs::exists(m_root.path() / "D00000042" / "dl_list.txt"));
  EXPECT_EQ(ReadFile(m_root.path() / "D00000043" / "add_list.txt"), "1\r\nmaps\\m1\\map.dat\r\n");
}

// ---- Awkward pairs of game versions ----

bool IsUtf8(const std::string& text)
{
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char first = static_cast<unsigned char>(text[at]);
    const std::size_t length = first < 0x80                    ? 1
                               : first >= 0xC2 && first < 0xE0 ? 2
                               : first >= 0xE0 && first < 0xF0 ? 3
                               : first >= 0xF0 && first < 0xF5 ? 4
                                                               : 0;
    if (length == 0 || at + length > text.size())
      return false;
    for (std::size_t i = 1; i < length; ++i)
      if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80)
        return false;
    at += length;
  }
  return true;
}

// A game folder as the test reads it, independently of the tool: every
// folder, every file's bytes, and an archive pair as its entries (the first
// of each name, which is the one the game reads).
std::map<std::string, std::string> GameImage(const fs::path& folder)
{
  std::map<std::string, std::string> image;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::u8string name = fs::relative(entry.path(), folder).generic_u8string();
    const std::string key(name.begin(), name.end());
    const fs::path path = entry.path();
    fs::path other = path;
    if (entry.is_directory()) {
      image[key] = "(folder)";
    } else if (path.extension() == ".hed" && fs::exists(other.replace_extension(".dat")) &&
               fs::file_size(path) > 0) {
      std::string entries;
      std::set<std::string> seen;
      for (const ArchiveEntry& archived : ReadArchive(fs::path(path).replace_extension()))
        if (seen.insert(archived.name).second)
          entries += archived.name + "=" + archived.bytes + ";";
      image[key] = "(archive)" + entries;
    } else if (path.extension() == ".dat" && fs::exists(other.replace_extension(".hed")) &&
               fs::file_size(other) > 0) {
      continue;  // read with its .hed
    } else {
      image[key] = ReadFile(path);
    }
  }
  return image;
}

// Bytes that do not pack smaller.
std::string Noise(std::size_t size)
{
  std::string bytes(size, '\0');
  std::uint32_t state = 12345;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 16);
  }
  return bytes;
}

// Whether the folder lists a file or folder of exactly that name: Windows
// cannot hold some of the names the rows need, and drops trailing dots.
bool Holds(const fs::path& folder, const fs::path& name)
{
  std::error_code failure;
  for (const auto& entry : fs::directory_iterator(folder, failure))
    if (entry.path().filename() == name)
      return true;
  return false;
}

// One pair of versions: how NEW (and OLD) differ from a plain version 1 and
// 2, and what the tool must do with it. made() answers false when this
// platform cannot hold the pair at all.
struct AwkwardPair {
  const char* finding;
  std::function<bool(const fs::path& oldGame, const fs::path& newGame)> made;
  int status;
  std::string message;  // in the tool's messages; for status 0, in its report
  bool allowIncomplete = false;
  std::uint64_t extractorLimit = mkstep::kExtractorLimit;
  // Published: what the player's folder holds beyond NEW.
  std::map<std::string, std::string> alsoInResult = {};
};

bool Write(const fs::path& file, const std::string& bytes)
{
  std::error_code ignored;
  fs::create_directories(file.parent_path(), ignored);
  std::ofstream out(file, std::ios::binary);
  out << bytes;
  out.close();
  return out.good() && Holds(file.parent_path(), file.filename());
}

TEST_F(MkStepTest, EveryAwkwardPairIsRefusedWithItsReasonOrAppliesToExactlyNew)
{
  const std::vector<AwkwardPair> rows = {
      {"a yen sign becomes the folder separator on the way to Shift_JIS",
       [](auto&, auto& n) { return Write(n / fs::path(u8"a¥b.txt"), "yen"); }, 3,
       U8(u8"refused-name: a¥b.txt (the name has no Shift_JIS form that converts back")},
      {"the wave dash and the full-width tilde meet in one Shift_JIS character",
       [](auto&, auto& n) {
         return Write(n / fs::path(u8"〜.txt"), "wave") && Write(n / fs::path(u8"～.txt"), "tilde");
       },
       3, "that converts back to the same name"},
      {"a character Windows does not allow",
       [](auto&, auto& n) { return Write(n / "what?.txt", "q"); }, 3,
       "refused-name: what?.txt (the name holds the character ?"},
      {"a device name", [](auto&, auto& n) { return Write(n / "sub" / "con.txt", "c"); }, 3,
       "refused-name: sub\\con.txt (the name holds a device name"},
      {"a trailing dot", [](auto&, auto& n) { return Write(n / "trail.", "t"); }, 3,
       "refused-name: trail. (the name holds a name ending in a dot"},
      {"names that differ only in case",
       [](auto&, auto& n) { return Write(n / "Readme.txt", "1") && Write(n / "README.txt", "2"); },
       3, "differs only in case from"},
      {"non-ASCII names that differ only in case",
       [](auto&, auto& n) {
         return Write(n / fs::path(u8"Ａ.txt"), "1") && Write(n / fs::path(u8"ａ.txt"), "2");
       },
       3, "differs only in case from"},
      {"a folder beside a file of the same name in another case",
       [](auto&, auto& n) { return Write(n / "Data", "1") && Write(n / "data" / "x.txt", "2"); }, 3,
       "differs only in case from"},
      {"a .dfl larger than a cabinet the extractor accepts",
       [](auto& o, auto& n) {
         WriteArchive(o / "main", {{"big.bin", "small"}});
         WriteArchive(n / "main", {{"big.bin", Noise(20000)}});
         return true;
       },
       3, "too-large: main.dfl", false, 10000},
      {"a plain file larger than a cabinet the extractor accepts",
       [](auto&, auto& n) { return Write(n / "movie.bin", Noise(20000)); }, 3,
       "too-large: movie.bin", false, 10000},
      {"the last cabinet, which also takes orv.ver, within the extractor's limit",
       [](auto&, auto& n) { return Write(n / "fill.bin", Noise(9999)); }, 0, "2 cabinets", false,
       10000},
      {"a file named like a top folder of the step",
       [](auto&, auto& n) {
         return Write(n / "data" / "bgm", "a file") && Write(n / "bgm" / "title.ogg", "music");
       },
       3, "misplaced: data\\bgm (the launcher would take bgm (a folder of the step)"},
      {"a file named like the step's version file",
       [](auto&, auto& n) { return Write(n / "sub" / "orv.ver", "1\r\n"); }, 3,
       "misplaced: sub\\orv.ver (the launcher would take orv.ver (the version file)"},
      {"a file named like the step's list",
       [](auto&, auto& n) { return Write(n / "add_list.txt", "0\r\n"); }, 3,
       "misplaced: add_list.txt (meets add_list.txt (a list of the step)"},
      {"a file the launcher would apply as a patch",
       [](auto&, auto& n) { return Write(n / "x.DFL", "not a patch"); }, 3,
       "misplaced: x.DFL (the launcher would apply it as a patch)"},
      {"a name longer than a line of add_list.txt",
       [](auto&, auto& n) {
         const std::string part(130, 'n');
         return Write(n / "sub" / part / part, "long");
       },
       3, "longer than a line of add_list.txt holds"},
      {"a file named like a cabinet of the step",
       [](auto&, auto& n) { return Write(n / "sub" / "step2-001.cab", "not a cabinet"); }, 0,
       "step2a-001.cab"},
      {"a file that becomes a folder",
       [](auto& o, auto& n) { return Write(o / "x", "file") && Write(n / "x" / "y.txt", "in"); }, 3,
       "misplaced: x (is a file in OLD: a step cannot turn one into the other)"},
      {"a folder that becomes a file",
       [](auto& o, auto& n) { return Write(o / "y" / "z.txt", "in") && Write(n / "y", "file"); }, 3,
       "misplaced: y (is a folder in OLD"},
      {"a folder link",
       [](auto&, auto& n) {
         std::error_code failure;
         fs::create_directories(n / "real");
         fs::create_directory_symlink(n / "real", n / "linked", failure);
         return !failure && Write(n / "real" / "a.txt", "a");
       },
       3, "refused-name: linked (a link"},
      {"a file deleted in NEW", [](auto& o, auto&) { return Write(o / "old.txt", "gone"); }, 4,
       "file-kept: old.txt"},
      {"a file deleted in NEW, published as the publisher accepts",
       [](auto& o, auto&) { return Write(o / "old.txt", "gone"); },
       0,
       "1 gaps",
       true,
       mkstep::kExtractorLimit,
       {{"old.txt", "gone"}}},
      {"an empty folder in NEW", [](auto&, auto& n) { return fs::create_directories(n / "empty"); },
       4, "empty-folder: empty"},
      {"a folder whose character ends in the separator byte is made as itself, nothing beside",
       [](auto&, auto& n) { return Write(n / fs::path(u8"能力") / "a.txt", "a"); }, 0,
       "0 gaps, 0 refused, check passed"},
      {"an archive entry deleted in NEW",
       [](auto& o, auto& n) {
         WriteArchive(o / "main", {{"a.txt", "A1"}, {"gone.txt", "G"}});
         WriteArchive(n / "main", {{"a.txt", "A2"}});
         return true;
       },
       4, "entry-kept: main : gone.txt"},
      {"an entry name that is no Shift_JIS, in a report that stays UTF-8",
       [](auto& o, auto& n) {
         WriteArchive(o / "main", {{"a.txt", "A1"}, {"\x81", "lone lead byte"}});
         WriteArchive(n / "main", {{"a.txt", "A2"}});
         return true;
       },
       4, "entry-kept: main : \\x81"},
      {"forty files in one folder and a one-letter name",
       [](auto&, auto& n) {
         for (int i = 0; i < 40; ++i)
           Write(n / "many" / ("f" + std::to_string(i) + ".txt"), std::to_string(i));
         return Write(n / "z", "one letter");
       },
       0, "41 files shipped"},
      {"an empty archive pair in OLD",
       [](auto& o, auto& n) {
         WriteFile(o / "e.hed", "");
         WriteFile(o / "e.dat", "");
         WriteArchive(n / "e", {{"a.txt", "A"}});
         return true;
       },
       0, "archive-as-files e"},
      {"the launcher's marker", [](auto&, auto& n) { return Write(n / "OLUpdate.pending", "m"); },
       3, "OLUpdate.pending (the launcher uses this name"},
      {"the launcher's copy temporary",
       [](auto&, auto& n) { return Write(n / "sub" / ".orv-copy-1-2.part", "p"); }, 3,
       ".orv-copy-1-2.part (the launcher uses this name"},
      {"a file of an archive rebuild",
       [](auto&, auto& n) { return Write(n / "data" / "main.BKHED", "b"); }, 3,
       "main.BKHED (the launcher uses this name"},
      {"the launcher's work folder",
       [](auto&, auto& n) { return Write(n / "_temp" / "a.txt", "w"); }, 3,
       "_temp (the launcher uses this name"},
  };

  CGlobal& global = StartLauncher();
  const fs::path game = m_start.path() / "game";
  for (const AwkwardPair& row : rows) {
    SCOPED_TRACE(row.finding);
    TempDir games, root;
    const fs::path oldGame = games.path() / "old", newGame = games.path() / "new";
    for (const fs::path& folder : {oldGame, newGame}) {
      fs::create_directories(folder);
      WriteFile(folder / "orv.exe", "MZ");
    }
    WriteFile(oldGame / "orv.ver", "1\r\n");
    WriteFile(newGame / "orv.ver", "2\r\n");
    if (!row.made(oldGame, newGame)) {
      std::printf("[ SKIPPED  ] %s: this platform cannot hold the pair\n", row.finding);
      continue;
    }
    mkstep::Arguments arguments;
    arguments.oldGame = oldGame;
    arguments.newGame = newGame;
    arguments.patchRoot = root.path();
    arguments.check = true;
    arguments.json = row.message.find("\\x") != std::string::npos;
    arguments.allowIncomplete = row.allowIncomplete;
    arguments.options.extractorLimit = row.extractorLimit;
    mkstep::RunOutput output;
    const int status = mkstep::RunMkStep(arguments, output);
    std::string messages;
    for (const std::string& message : output.messages)
      messages += message + "\n";
    ASSERT_EQ(status, row.status) << messages << output.report;
    EXPECT_TRUE(IsUtf8(output.report) && IsUtf8(messages)) << messages << output.report;
    EXPECT_THAT(row.status == 0 ? output.report : messages + output.report, HasSubstr(row.message))
        << messages << output.report;
    const fs::path step = root.path() / "D00000002";
    if (row.status != 0) {
      EXPECT_FALSE(fs::exists(step));
      EXPECT_FALSE(fs::exists(root.path() / "orv" / "orvnew.ver"));
      continue;
    }
    // The player's side: OLD updated by the launcher's own code from the
    // published step.
    fs::remove_all(game);
    fs::copy(oldGame, game, fs::copy_options::recursive);
    fs::remove_all(m_start.path() / "_temp");
    fs::copy(step, m_start.path() / "_temp", fs::copy_options::recursive);
    VersionState versions;
    versions.localVersion = 1;
    versions.serverVersion = 2;
    CPatcher patcher(global, versions);
    global.workerRun = 1;
    ASSERT_TRUE(patcher.ReadDownloadList() && patcher.ApplyStep())
        << ::testing::PrintToString(m_view.LogLines());
    std::map<std::string, std::string> wanted = GameImage(newGame);
    wanted.insert(row.alsoInResult.begin(), row.alsoInResult.end());
    EXPECT_TRUE(GameImage(game) == wanted) << ::testing::PrintToString(GameImage(game)) << "\n"
                                           << ::testing::PrintToString(wanted);
  }
}

// Two publishers started together on one patch root: one step is
// published whole, the other run refuses, and the published step applies.
TEST_F(MkStepTest, TwoRunsOnOnePatchRootPublishOneStepWhole)
{
  MakeGames();
  // Enough entries that the two runs overlap.
  std::vector<ArchiveEntry> many;
  for (int i = 0; i < 3000; ++i)
    many.push_back({"e" + std::to_string(i), Filler(200, static_cast<char>('a' + i % 26))});
  WriteArchive(m_old / "data" / "many", many);
  for (ArchiveEntry& entry : many)
    entry.bytes += "!";
  WriteArchive(m_new / "data" / "many", many);
  const std::vector<std::string> arguments = {m_old.string(), m_new.string(),
                                              m_root.path().string(), "--allow-incomplete"};
  int statuses[2] = {-1, -1};
  std::thread first([&] { statuses[0] = RunTool(arguments, m_games.path() / "first.txt"); });
  std::thread second([&] { statuses[1] = RunTool(arguments, m_games.path() / "second.txt"); });
  first.join();
  second.join();
  std::sort(std::begin(statuses), std::end(statuses));
  EXPECT_EQ(statuses[0], 0);
  // Refused as busy while the other holds the lock, or as a step served
  // already when it came after.
  EXPECT_TRUE(statuses[1] == mkstep::kExitBusy || statuses[1] == mkstep::kExitUsage) << statuses[1];
  EXPECT_EQ(ReadFile(m_root.path() / "orv" / "orvnew.ver"), "42\r\n");
  for (const auto& entry : fs::directory_iterator(m_root.path()))
    EXPECT_NE(
        entry.path().filename().string()[0] == '.' && entry.path().filename() != ".orv-mkstep.lock",
        true)
        << entry.path();

  CGlobal& global = StartLauncher();
  const fs::path game = m_start.path() / "game";
  fs::remove_all(game);
  fs::copy(m_old, game, fs::copy_options::recursive);
  fs::copy(m_root.path() / "D00000042", m_start.path() / "_temp", fs::copy_options::recursive);
  VersionState versions;
  versions.localVersion = 41;
  versions.serverVersion = 42;
  CPatcher patcher(global, versions);
  global.workerRun = 1;
  ASSERT_TRUE(patcher.ReadDownloadList() && patcher.ApplyStep())
      << ::testing::PrintToString(m_view.LogLines());
  EXPECT_THAT(Differences(game), IsEmpty());
}

// Every file of a folder with its bytes, to see that nothing changed.
std::map<std::string, std::string> Snapshot(const fs::path& folder)
{
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    files[fs::relative(entry.path(), folder).generic_string()] =
        entry.is_regular_file() ? ReadFile(entry.path()) : "(folder)";
  return files;
}

TEST_F(MkStepTest, ASignedStepAppliesAndAnyTamperingFailsItWithTheGameUntouched)
{
  MakeGames();
  const fs::path key = m_games.path() / "key.pem";
  WriteFile(key, kUpdatePrivateKey);
  const fs::path out = m_games.path() / "report.txt";
  ASSERT_EQ(RunTool({m_old.string(), m_new.string(), m_root.path().string(), "--sign", key.string(),
                     "--allow-incomplete"},
                    out),
            0)
      << ReadFile(out);
  const fs::path step = m_root.path() / "D00000042";
  const fs::path genuine = m_games.path() / "genuine";
  fs::copy(step, genuine, fs::copy_options::recursive);

  m_deployment.patchHost = "127.0.0.1";
  m_deployment.patchPort = m_server.port();
  m_deployment.updateKey = kUpdatePublicKey;
  CGlobal& global = StartLauncher();
  const fs::path game = m_start.path() / "game";
  for (const auto& entry : fs::directory_iterator(m_old))
    if (entry.path().filename() != "orv.exe")
      fs::copy(entry.path(), game / entry.path().filename(), fs::copy_options::recursive);
  WriteFile(game / "orv.exe", "MZ");
  const std::map<std::string, std::string> before = Snapshot(game);

  const auto flip = [](const fs::path& file, std::size_t at) {
    std::string bytes = ReadFile(file);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
    WriteFile(file, bytes);
  };
  const auto signText = [&](const std::string& text, const char* privateKey) {
    std::uint8_t signature[64];
    std::string error;
    ASSERT_TRUE(mkstep::SignP256(privateKey, text, signature, error)) << error;
    WriteFile(step / "manifest.txt", text);
    WriteFile(step / "manifest.sig", HexOf(signature, sizeof signature) + "\n");
  };
  const struct {
    const char* what;
    std::function<void()> tamper;
    std::string line;
  } rows[] = {
      {"a byte of a cabinet", [&] { flip(step / "step42-001.cab", 100); },
       "step42-001.cabが署名と一致しません"},
      {"a byte of dl_list.txt", [&] { flip(step / "dl_list.txt", 0); },
       "dl_list.txtが署名と一致しません"},
      {"a byte of add_list.txt", [&] { flip(step / "add_list.txt", 5); },
       "add_list.txtが署名と一致しません"},
      {"a file added to the list",
       [&] {
         WriteFile(step / "dl_list.txt", ReadFile(step / "dl_list.txt") + "evil.cab,1\r\n");
         WriteFile(step / "evil.cab", "MSCF");
       },
       "dl_list.txtのサイズが署名と一致しません"},
      {"a file taken off the list",
       [&] {
         const std::string list = ReadFile(step / "dl_list.txt");
         WriteFile(step / "dl_list.txt", list.substr(0, list.find("\r\n") + 2));
       },
       "dl_list.txtのサイズが署名と一致しません"},
      {"a manifest larger than any step's",
       [&] { WriteFile(step / "manifest.txt", std::string(kManifestLimit + 1, 'x')); },
       "manifest.txtが大きすぎます"},
      {"no manifest", [&] { fs::remove(step / "manifest.txt"); },
       "manifest.txtのダウンロードに失敗"},
      {"the manifest of another step",
       [&] {
         std::string error;
         ASSERT_TRUE(mkstep::SignStepFolder(step, 42, 43, kUpdatePrivateKey, error)) << error;
       },
       "manifest.txtは別のステップのものです (42->43)"},
      {"a signature of another key",
       [&] { signText(ReadFile(step / "manifest.txt"), kOtherPrivateKey); },
       "manifest.txtの署名が正しくありません"},
      {"a cut signature",
       [&] { WriteFile(step / "manifest.sig", ReadFile(step / "manifest.sig").substr(0, 100)); },
       "manifest.txtの署名が正しくありません"},
      {"a signed manifest that is not one",
       [&] { signText("orv-step-manifest 1\nfrom 41\nto 42\nfile x\n", kUpdatePrivateKey); },
       "manifest.txtが読めません (bad line 4)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(step);
    fs::copy(genuine, step, fs::copy_options::recursive);
    row.tamper();
    fs::remove_all(m_start.path() / "_download");
    VersionState versions;
    versions.localVersion = 41;
    versions.serverVersion = 42;
    CPatcher patcher(global, versions);
    patcher.retryWaits = RetryWaits{{}};
    patcher.OpenSession(10000);
    global.workerRun = 1;
    EXPECT_FALSE(patcher.RunStepUpdate());
    const std::vector<std::string> lines = m_view.LogLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.rfind(row.line, 0) == 0;
    })) << ::testing::PrintToString(lines);
    EXPECT_TRUE(Snapshot(game) == before);
  }

  fs::remove_all(step);
  fs::copy(genuine, step, fs::copy_options::recursive);
  VersionState versions;
  versions.localVersion = 41;
  versions.serverVersion = 42;
  CPatcher patcher(global, versions);
  patcher.OpenSession(10000);
  global.workerRun = 1;
  ASSERT_TRUE(patcher.RunStepUpdate()) << ::testing::PrintToString(m_view.LogLines());
  EXPECT_THAT(Differences(game), IsEmpty());
}

}  // namespace
}  // namespace orv::test
