// The publisher's path end to end: two game versions, the step orv-mkstep
// makes and checks from them, and a launcher that updates the old version
// over HTTP from the patch root the tool wrote.
#include <gmock/gmock.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
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
    // Japanese name whose second byte is `\`, one deleted, and one whose
    // name meets a file of the step's top level.
    WriteFile(m_old / "readme.txt", "read me 41");
    WriteFile(m_new / "readme.txt", "read me 42");
    fs::create_directories(m_new / "maps" / "m1");
    WriteFile(m_new / "maps" / "m1" / "map.dat", Filler(3000, 'm'));
    fs::create_directories(m_new / fs::path(u8"能力"));
    WriteFile(m_new / fs::path(u8"能力") / fs::path(u8"表.txt"), "hyou");
    WriteFile(m_old / "old.txt", "deleted in 42");
    fs::create_directories(m_new / "docs");
    WriteFile(m_new / "docs" / "readme.txt", "docs 42");
  }

  // What the report says the result may differ by.
  static mkstep::StepReport Explained()
  {
    mkstep::StepReport report;
    report.notes = {{"file-kept", "old.txt", "", ""},
                    {"entry-kept", "data\\main", "gone.txt", ""},
                    {"not-shipped", "docs\\readme.txt", "", ""}};
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
  ASSERT_EQ(RunTool({m_old.string(), m_new.string(), m_root.path().string(), "--check"}, out), 0)
      << ReadFile(out);
  const std::string report = ReadFile(out);
  EXPECT_THAT(report, HasSubstr("archive data\\main: patched, 4 entries: 1 same, 2 changed, 1 new, "
                                "1 kept"));
  for (const char* item :
       {"file-kept old.txt", "entry-kept data\\main : gone.txt", "archive-as-files data_x\\sub",
        "archive-as-files extra\\pack", "not-shipped docs\\readme.txt"})
    EXPECT_THAT(report, HasSubstr(std::string("not expressible: ") + item));
  EXPECT_THAT(report, HasSubstr("check passed"));
  EXPECT_EQ(ReadFile(m_root.path() / "orv" / "orvnew.ver"), "42\r\n");
  // Nothing but the step itself is left beside it.
  std::vector<std::string> served;
  for (const auto& entry : fs::directory_iterator(m_root.path()))
    served.push_back(entry.path().filename().string());
  std::sort(served.begin(), served.end());
  EXPECT_EQ(served, (std::vector<std::string>{"D00000042", "orv"}));

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
  EXPECT_EQ(problems.size(), 3u) << ::testing::PrintToString(problems);
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
  ASSERT_EQ(RunTool({m_old.string(), m_new.string(), root, "--json"}, out), 0);
  EXPECT_THAT(ReadFile(out), HasSubstr("\"archivesPatched\": 1"));
  EXPECT_EQ(RunTool({m_old.string(), m_new.string(), root}, out), 2);

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
  ASSERT_EQ(
      RunTool({m_old.string(), m_new.string(), m_root.path().string(), "--sign", key.string()},
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
