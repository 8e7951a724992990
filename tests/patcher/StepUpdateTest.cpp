// The patch run: a game folder brought up step by step from a real loopback
// patch server holding real cabinets, archives and patch files.
#include <regex>

#include "app/LauncherMode.h"
#include "patcher/CPatcher.h"
#include "support/ArchiveMaker.h"
#include "support/FrameFixture.h"
#include "support/LoopbackServer.h"
#include "support/PatchStep.h"
#include "support/StubGame.h"
#include "ui/ControlIds.h"

namespace orv::test {
namespace {

using ::testing::ElementsAreArray;

class StepUpdateTest : public FrameFixture {
 protected:
  StepUpdateTest() { m_server.ServeFolder(m_serverRoot.path()); }

  // A launcher started on a game folder at version 41 with one archive, its
  // patcher and versions set as the connect sequence leaves them.
  CGlobal& Start(std::int32_t serverVersion, const std::string& moreSettings = "")
  {
    m_deployment.patchHost = "127.0.0.1";
    m_deployment.patchPort = m_server.port();
    CGlobal& global = StartLauncher(moreSettings);
    m_game = m_start.path() / "game";
    WriteFile(m_game / "orv.ver", "41\r\n");
    std::filesystem::create_directories(m_game / "data");
    WriteArchive(m_game / "data" / "main", {{"a.txt", "A41"}, {"b\\c.bin", "C41", true}});
    m_versions.localVersion = 41;
    m_versions.serverVersion = serverVersion;
    m_patcher = std::make_unique<CPatcher>(global, m_versions);
    m_patcher->OpenSession(10000);
    global.workerRun = 1;
    return global;
  }
  // The process log in the order written, the timing lines without their
  // figures.
  std::vector<std::string> Log() const
  {
    std::vector<std::string> lines = m_view.LogLines();
    for (std::string& line : lines)
      line = std::regex_replace(line, std::regex("^(DownloadTime|PatchTime):[0-9]+sec$"), "$1");
    return lines;
  }
  // The lines of one step that downloads add_list.txt and `cabinets`.
  static std::vector<std::string> StepLines(int from, const std::vector<std::string>& cabinets,
                                            const std::vector<std::string>& newFolders = {})
  {
    const int count = static_cast<int>(cabinets.size()) + 1;
    std::vector<std::string> lines = {"dl_list.txtをダウンロード", "dl_list.txtのダウンロードの完了",
                                      "dl_list.txtを読み込み",
                                      "add_list.txtをダウンロード 1/" + std::to_string(count),
                                      "add_list.txtのダウンロードの完了"};
    for (int i = 0; i < count - 1; ++i) {
      lines.push_back(cabinets[i] + "をダウンロード " + std::to_string(i + 2) + "/" +
                      std::to_string(count));
      lines.push_back(cabinets[i] + "のダウンロードの完了");
    }
    lines.push_back("DownloadTime");
    lines.push_back("パッチあての開始 " + std::to_string(from) + "->" + std::to_string(from + 1));
    for (const std::string& folder : newFolders)
      lines.push_back("新規ディレクトリ作成[" + folder + "]");
    lines.push_back("FileVer:" + std::to_string(from + 1));
    lines.push_back("パッチあて終了");
    lines.push_back("Ver. " + std::to_string(from + 1) + "/44");
    lines.push_back("PatchTime");
    return lines;
  }

  TempDir m_serverRoot;
  LoopbackServer m_server;
  VersionState m_versions;
  std::filesystem::path m_game;
  std::unique_ptr<CPatcher> m_patcher;
};

TEST_F(StepUpdateTest, BringsTheGameFrom41To44StepByStep)
{
  WriteStep(m_serverRoot.path(),
            {42,
             {{"step42.cab",
               {{"data_main.dfl", MakeDfl({{"a.txt", "A42"}, {"new.txt", "NEW42", true}})},
                {"readme.txt", "read me 42"}}}},
             {"readme.txt"}});
  WriteStep(m_serverRoot.path(),
            {43,
             {{"one.cab",
               {{"data_main.dfl", MakeDfl({{"b\\c.bin", "C43", true}}, /*packNames=*/true)},
                {"maps\\m1\\map.dat", "first cabinet"}}},
              {"two.cab", {{"maps\\m1\\map.dat", "second cabinet"}}}},
             {"maps\\m1\\map.dat"}});
  WriteStep(m_serverRoot.path(), {44, {{"last.cab", {{"data_main.dfl", MakeDfl({})}}}}, {}});
  CGlobal& global = Start(44);

  PatchThreadProc(m_patcher.get());

  std::vector<std::string> expected;
  for (const auto& lines : {StepLines(41, {"step42.cab"}),
                            StepLines(42, {"one.cab", "two.cab"}, {"maps\\m1\\"}),
                            StepLines(43, {"last.cab"})})
    expected.insert(expected.end(), lines.begin(), lines.end());
  expected.push_back("アップデートに成功しました Ver.44");
  EXPECT_THAT(Log(), ElementsAreArray(expected));

  EXPECT_EQ(m_view.Status(), "--> Complete Ver.44");
  EXPECT_EQ(global.launcherMode, kLogin);
  EXPECT_EQ(m_view.ControlText(ctl::kMainButton), "Login");
  EXPECT_EQ(ReadFile(m_game / "orv.ver"), "44\r\n");
  EXPECT_EQ(ReadFile(m_game / "readme.txt"), "read me 42");
  EXPECT_EQ(ReadFile(m_game / "maps" / "m1" / "map.dat"), "second cabinet");
  const std::vector<ArchiveEntry> archive = ReadArchive(m_game / "data" / "main");
  ASSERT_EQ(archive.size(), 3u);
  EXPECT_EQ(archive[0].name, "a.txt");
  EXPECT_EQ(archive[0].bytes, "A42");
  EXPECT_EQ(archive[1].name, "b\\c.bin");
  EXPECT_EQ(archive[1].bytes, "C43");
  EXPECT_FALSE(archive[1].packed);  // written unpacked
  EXPECT_EQ(archive[2].name, "new.txt");
  EXPECT_EQ(archive[2].bytes, "NEW42");
  EXPECT_FALSE(std::filesystem::exists(m_start.path() / "_temp"));

  // The window was shut for the run and opened again after it.
  EXPECT_THAT(m_view.TimerCalls(), ElementsAreArray({-ctl::kUpdateTimer, ctl::kUpdateTimer}));
  const std::vector<int> enables = m_view.EnableCalls();
  ASSERT_GE(enables.size(), 3u);
  EXPECT_THAT(std::vector<int>(enables.begin(), enables.begin() + 3),
              ElementsAreArray({-ctl::kMainButton, -ctl::kOptionButton, -ctl::kWebPageButton}));
  EXPECT_THAT(std::vector<int>(enables.end() - 4, enables.end()),
              ElementsAreArray({ctl::kOptionButton, ctl::kExitButton, ctl::kMainButton,
                                ctl::kWebPageButton}));
}

TEST_F(StepUpdateTest, StepLimitAndEqualVersionsEndTheRunWithoutWork)
{
  WriteStep(m_serverRoot.path(), {42, {{"a.cab", {{"x.txt", "x"}}}}, {}});
  WriteStep(m_serverRoot.path(), {43, {{"b.cab", {{"y.txt", "y"}}}}, {}});
  CGlobal& global = Start(43);
  m_versions.updateStep = 1;
  m_patcher->RunStepUpdate();
  EXPECT_EQ(m_versions.localVersion, 42);
  EXPECT_EQ(Log().back(), "ステップアップデートの終了");
  EXPECT_EQ(global.launcherMode, kForceLogin);
  EXPECT_EQ(m_view.ControlText(ctl::kMainButton), "Force Login");

  // At the server's version a run creates nothing and succeeds at once.
  m_versions.updateStep = 0;
  m_versions.serverVersion = 42;
  const std::size_t requests = m_server.Requests().size();
  m_patcher->RunStepUpdate();
  EXPECT_EQ(m_server.Requests().size(), requests);
  EXPECT_EQ(Log().back(), "アップデートに成功しました Ver.42");
  EXPECT_EQ(global.launcherMode, kLogin);
}

TEST_F(StepUpdateTest, StepThatDoesNotAdvanceTheVersionFailsInsteadOfRepeating)
{
  PatchStep stuck{42, {{"a.cab", {{"orv.ver", "41\r\n"}}}}, {}};
  stuck.withVersionFile = false;
  WriteStep(m_serverRoot.path(), stuck);
  CGlobal& global = Start(42);
  m_patcher->RunStepUpdate();
  EXPECT_EQ(global.launcherMode, kUpdate);
  const std::vector<std::string> log = Log();
  EXPECT_EQ(log.back(), "アップデートに失敗しました Ver.41/42");
  EXPECT_EQ(std::count(log.begin(), log.end(), "dl_list.txtをダウンロード"), 1);
}

TEST_F(StepUpdateTest, FailuresEndTheRunAndLeaveTheOldVersion)
{
  CGlobal& global = Start(42);  // the server has no step 42
  m_patcher->RunStepUpdate();
  EXPECT_EQ(Log().back(), "アップデートに失敗しました Ver.41/42");
  EXPECT_EQ(m_view.Status(), "--> Failed");
  EXPECT_EQ(global.launcherMode, kUpdate);
  EXPECT_EQ(ReadFile(m_game / "orv.ver"), "41\r\n");
  EXPECT_FALSE(std::filesystem::exists(m_start.path() / "_temp"));
  // A failed download leaves Exit as it was.
  EXPECT_TRUE(m_view.EnableCalls().empty());

  // A failure while applying leaves Exit off until the thread ends.
  WriteStep(m_serverRoot.path(), {42, {{"a.cab", {{"data_main.dfl", "broken"}}}}, {}});
  m_patcher->RunStepUpdate();
  EXPECT_EQ(m_view.EnableCalls().back(), -ctl::kExitButton);
  EXPECT_EQ(ReadFile(m_game / "orv.ver"), "41\r\n");
}

TEST_F(StepUpdateTest, NamesThatLeaveTheirFolderFailTheStepAndWriteNothingOutside)
{
  CGlobal& global = Start(42);
  const std::filesystem::path outside = m_start.path() / "evil.txt";
  auto runFails = [&](const char* line) {
    m_patcher->RunStepUpdate();
    EXPECT_EQ(global.launcherMode, kUpdate);
    EXPECT_FALSE(std::filesystem::exists(outside));
    EXPECT_FALSE(std::filesystem::exists(m_start.path().parent_path() / "evil.txt"));
    const std::vector<std::string> log = Log();
    EXPECT_NE(std::find(log.begin(), log.end(), line), log.end()) << line;
  };

  const std::filesystem::path step = m_serverRoot.path() / "D00000042";
  WriteStep(m_serverRoot.path(), {42, {{"a.cab", {{"x.txt", "x"}}}}, {}});
  WriteFile(step / "dl_list.txt", "add_list.txt,1\r\n..\\evil.txt,1\r\n");
  runFails("dl_list.txtに不正なファイル名があります[..\\evil.txt]");

  WriteStep(m_serverRoot.path(), {42, {{"a.cab", {{"..\\..\\evil.txt", "x"}}}}, {}});
  runFails("a.cabに不正なファイル名があります[..\\..\\evil.txt]");

  WriteStep(m_serverRoot.path(), {42, {{"a.cab", {{"evil.txt", "x"}}}}, {"..\\evil.txt"}});
  runFails("add_list.txtに不正なファイル名があります[..\\evil.txt]");
}

TEST_F(StepUpdateTest, ListsAreReadByTheirLineRules)
{
  CGlobal& global = Start(42);
  std::filesystem::create_directory(m_start.path() / "_temp");
  WriteFile(m_start.path() / "_temp" / "dl_list.txt",
            "first.txt,12\r\n\r\npatch1.cab,1024\nreadme\r\n");
  ASSERT_TRUE(m_patcher->ReadDownloadList());
  ASSERT_EQ(m_patcher->downloadList.size(), 3u);
  EXPECT_STREQ(m_patcher->downloadList[1].name, "patch1.cab");
  EXPECT_EQ(m_patcher->downloadList[1].value, 1024);
  EXPECT_STREQ(m_patcher->downloadList[2].name, "readme");  // no line end in the name
  EXPECT_EQ(m_patcher->downloadList[2].value, 0);

  WriteFile(m_start.path() / "_temp" / "add_list.txt", "2\r\n\r\ndata\\x.dat\r\ny.txt\n");
  ASSERT_TRUE(m_patcher->ReadAddList());
  EXPECT_THAT(m_patcher->addList, ElementsAreArray({"data\\x.dat", "y.txt", "orv.ver"}));

  WriteFile(m_start.path() / "_temp" / "add_list.txt", "3\r\na\r\nb\r\n");
  EXPECT_FALSE(m_patcher->ReadAddList());
  EXPECT_EQ(Log().back(), "add_list.txtで取得したファイル数との違いがあります");

  WriteFile(m_start.path() / "_temp" / "add_list.txt", "files\r\na\r\n");
  EXPECT_FALSE(m_patcher->ReadAddList());
  EXPECT_EQ(Log().back(), "add_list.txtで取得したファイル数との違いがあります");
  (void)global;
}

TEST_F(StepUpdateTest, PlacedFilesReplaceReadOnlyOnes)
{
  WriteStep(m_serverRoot.path(), {42, {{"a.cab", {{"x.txt", "new"}}}}, {"x.txt"}});
  Start(42);
  WriteFile(m_game / "x.txt", "old");
  std::filesystem::permissions(m_game / "x.txt", std::filesystem::perms::owner_read);
  m_patcher->RunStepUpdate();
  EXPECT_EQ(ReadFile(m_game / "x.txt"), "new");
}

TEST_F(StepUpdateTest, WaitForWorkerStopsARunInsideADownload)
{
  m_server.ServeGenerated("/D00000042/big.cab", 1u << 30);
  std::filesystem::create_directories(m_serverRoot.path() / "D00000042");
  WriteFile(m_serverRoot.path() / "D00000042" / "dl_list.txt", "add_list.txt,1\r\nbig.cab,1\r\n");
  WriteFile(m_serverRoot.path() / "D00000042" / "add_list.txt", "0\r\n");
  CGlobal& global = Start(42);
  WaitForWorker(*m_patcher);  // no thread: returns at once

  m_patcher->Start();
  ASSERT_TRUE(Eventually([&] { return m_view.Status().rfind("--> big.cab", 0) == 0; }))
      << m_view.Status();
  WhenDownloadEnds cut(m_start.path() / "_temp" / "big.cab.part",
                       [this] { m_server.CutConnections(); });
  WaitForWorker(*m_patcher);
  EXPECT_FALSE(m_patcher->HasThread());
  EXPECT_GT(m_view.dispatchCalls(), 0);
  EXPECT_EQ(global.launcherMode, kUpdate);
  EXPECT_EQ(Log().back(), "アップデートに失敗しました Ver.41/42");
}

}  // namespace
}  // namespace orv::test
