// The patch run: a game folder brought up step by step from a real loopback
// patch server holding real cabinets, archives and patch files.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <regex>

#include "app/LauncherMode.h"
#include "net/Download.h"
#include "patcher/CPatcher.h"
#include "patcher/DownloadStore.h"
#include "patcher/Recovery.h"
#include "patcher/WorkFolder.h"
#include "platform/ControlIds.h"
#include "platform/ErrorCodes.h"
#include "support/ArchiveMaker.h"
#include "support/ForwardProxy.h"
#include "support/FrameFixture.h"
#include "support/LoopbackServer.h"
#include "support/PatchStep.h"
#include "support/StubGame.h"

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

  // The step 41 -> 42 of the disk tests: a patch of data\main and a file
  // in a new folder.
  void WriteArchiveStep()
  {
    WriteStep(m_serverRoot.path(),
              {42,
               {{"step42.cab",
                 {{"data_main.dfl", MakeDfl({{"a.txt", "A42"}, {"new.txt", "NEW42", true}})},
                  {"maps\\m1\\map.dat", "map 42"}}}},
               {"maps\\m1\\map.dat"}});
  }
  std::string Archive() const
  {
    std::string text;
    for (const ArchiveEntry& entry : ReadArchive(m_game / "data" / "main"))
      text += entry.name + "=" + entry.bytes + ";";
    return text;
  }
  // The game folder as one version of that step: 42 with its archive and
  // file, or 41 with the archive of either (orv.ver never ahead of it).
  // Answers whether the archive is the new one.
  bool ExpectOneVersion(const std::string& before, const std::string& after) const
  {
    const std::string version = ReadFile(m_game / "orv.ver");
    const std::string archive = Archive();
    if (version == "42\r\n") {
      EXPECT_EQ(archive, after);
      EXPECT_EQ(ReadFile(m_game / "maps" / "m1" / "map.dat"), "map 42");
    } else {
      EXPECT_EQ(version, "41\r\n");
      EXPECT_TRUE(archive == before || archive == after) << archive;
    }
    return archive == after;
  }
  // Nothing of the launcher's own in the game folder: no copy temporary,
  // rebuild or patch file, no marker.
  void ExpectNothingLeftBehind() const
  {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_game)) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name.find(".orv-copy-") != 0 && name.find(".bk") == std::string::npos &&
                  name.find(".nw") == std::string::npos && name != "OLUpdate.pending")
          << "left behind: " << entry.path();
    }
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
  EXPECT_FALSE(std::filesystem::exists(m_start.path() / "_download"));

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

TEST_F(StepUpdateTest, WhatArrivedIsKeptAcrossAFailedRunUntilTheStepIsApplied)
{
  WriteStep(
      m_serverRoot.path(),
      {42, {{"a.cab", {{"x.txt", "x42"}}}, {"b.cab", {{"y.txt", "y42"}}}}, {"x.txt", "y.txt"}});
  const std::filesystem::path step = m_serverRoot.path() / "D00000042";
  int tries = 0;
  m_server.Handle("GET", "/D00000042/b.cab", [&](const HttpRequestSeen&) {
    return ++tries == 1 ? HttpReply{404, "not yet", {}}
                        : HttpReply{200, ReadFile(step / "b.cab"), {}};
  });
  CGlobal& global = Start(42);
  const std::filesystem::path store = m_start.path() / "_download";
  m_patcher->RunStepUpdate();
  EXPECT_EQ(global.launcherMode, kUpdate);
  EXPECT_TRUE(std::filesystem::exists(store / "D00000042" / "a.cab"));

  // At start-up only the next step's downloads are kept.
  std::filesystem::create_directories(store / "D00000041");
  std::filesystem::create_directories(store / "D00000043");
  PruneDownloadStore(global, 42);
  EXPECT_FALSE(std::filesystem::exists(store / "D00000041"));
  EXPECT_FALSE(std::filesystem::exists(store / "D00000043"));

  const auto fetched = [&](const std::string& path) {
    const std::vector<HttpRequestSeen> requests = m_server.Requests();
    return std::count_if(requests.begin(), requests.end(),
                         [&](const HttpRequestSeen& request) { return request.path == path; });
  };
  m_patcher->RunStepUpdate();
  EXPECT_EQ(global.launcherMode, kLogin);
  EXPECT_EQ(ReadFile(m_game / "y.txt"), "y42");
  EXPECT_EQ(fetched("/D00000042/a.cab"), 1);
  EXPECT_EQ(fetched("/D00000042/dl_list.txt"), 2);  // the list is asked for every run
  EXPECT_FALSE(std::filesystem::exists(store));

  // A step the publisher replaced is fetched anew, kept files and all.
  std::filesystem::create_directories(store / "D00000043");
  WriteFile(store / "D00000043" / "dl_list.txt", "add_list.txt,1\r\nc.cab,1\r\n");
  WriteFile(store / "D00000043" / "c.cab", "an older step's cabinet");
  WriteStep(m_serverRoot.path(), {43, {{"c.cab", {{"z.txt", "z43"}}}}, {"z.txt"}});
  m_versions.serverVersion = 43;
  m_patcher->RunStepUpdate();
  EXPECT_EQ(ReadFile(m_game / "z.txt"), "z43");
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
  WhenDownloadEnds cut(m_start.path() / "_download" / "D00000042" / "big.cab.part",
                       [this] { m_server.CutConnections(); });
  WaitForWorker(*m_patcher);
  EXPECT_FALSE(m_patcher->HasThread());
  EXPECT_GT(m_view.dispatchCalls(), 0);
  EXPECT_EQ(global.launcherMode, kUpdate);
  EXPECT_EQ(Log().back(), "アップデートに失敗しました Ver.41/42");
}

TEST_F(StepUpdateTest, TheProxySettingCarriesTheUpdateOrGoesAroundIt)
{
  WriteStep(m_serverRoot.path(), {42, {{"a.cab", {{"x.txt", "x42"}}}}, {"x.txt"}});
  ForwardProxy proxy;
  // A patch host that only the proxy can reach.
  m_deployment.patchHost = "patch.orv.invalid";
  m_deployment.patchPort = m_server.port();
  CGlobal& global = StartLauncher("Proxy=direct\r\n");
  WriteFile(m_start.path() / "game" / "orv.ver", "41\r\n");
  const auto run = [&] {
    VersionState versions;
    versions.localVersion = 41;
    versions.serverVersion = 42;
    CPatcher patcher(global, versions);
    patcher.retryWaits = RetryWaits{{}};
    patcher.OpenSession(10000);
    global.workerRun = 1;
    return patcher.RunStepUpdate();
  };
  EXPECT_FALSE(run());
  EXPECT_TRUE(proxy.Requests().empty());

  std::snprintf(global.Proxy, sizeof global.Proxy, "http://%s", proxy.address().c_str());
  EXPECT_TRUE(run()) << ::testing::PrintToString(m_view.LogLines());
  EXPECT_EQ(ReadFile(m_start.path() / "game" / "x.txt"), "x42");
  ASSERT_FALSE(proxy.Requests().empty());
  EXPECT_EQ(proxy.Requests().front().rfind("GET http://patch.orv.invalid:", 0), 0u);
}

// A patch server that speaks HTTPS only, with a certificate the launcher
// trusts.
class SecurePatchServerTest : public FrameFixture {
 protected:
  SecurePatchServerTest() : FrameFixture(LoopbackServer::AuthorityFile()) {}
  TempDir m_root;
  LoopbackServer m_server{LoopbackServer::Scheme::Https};
};

TEST_F(SecurePatchServerTest, WithHttpsTheVersionAndTheStepComeOverTls)
{
  m_server.ServeFolder(m_root.path());
  std::filesystem::create_directories(m_root.path() / "orv");
  WriteFile(m_root.path() / "orv" / "orvnew.ver", "42\r\n");
  WriteStep(m_root.path(), {42, {{"a.cab", {{"x.txt", "x42"}}}}, {"x.txt"}});
  m_deployment.patchHost = "127.0.0.1";
  m_deployment.patchPort = m_server.port();
  m_deployment.patchSecure = true;
  CGlobal& global = StartLauncher();
  WriteFile(m_start.path() / "game" / "orv.ver", "41\r\n");
  global.workerRun = 1;

  ConnectionContext versionConnection(global);
  ASSERT_EQ(versionConnection.session.Open(10000), 0);
  ASSERT_TRUE(
      DownloadToMemory(global, "/orv/orvnew.ver", versionConnection, "127.0.0.1", m_server.port()));
  EXPECT_EQ(std::string(versionConnection.body.begin(), versionConnection.body.end()), "42\r\n");

  VersionState versions;
  versions.localVersion = 41;
  versions.serverVersion = 42;
  CPatcher patcher(global, versions);
  patcher.OpenSession(10000);
  EXPECT_TRUE(patcher.RunStepUpdate()) << ::testing::PrintToString(m_view.LogLines());
  EXPECT_EQ(ReadFile(m_start.path() / "game" / "x.txt"), "x42");
}

// The game folder as the disk keeps it across a power cut: contents that
// were flushed, and every creation, rename and removal in the order made (a
// journalling file system keeps those in order); writes never flushed are
// lost. It records the launcher's operations on the real file system.
class DiskModel : public FileSystem {
 public:
  explicit DiskModel(FileSystem& real) : m_real(real) {}

  using Files = std::map<std::string, std::string>;  // relative path, content
  struct Operation {
    enum Kind { Write, Move, Remove } kind;
    std::string path, to, content;
  };

  void Watch(const std::string& gameFolder, const std::filesystem::path& native)
  {
    m_prefix = gameFolder + "\\";
    m_native = native;
    m_initial = Read(native);
    m_operations.clear();
    m_watching = true;
  }
  void Stop() { m_watching = false; }
  std::size_t Count() const { return m_operations.size(); }
  std::string Describe(std::size_t i) const
  {
    const Operation& op = m_operations[i];
    return std::string(op.kind == Operation::Write ? "write " : op.kind == Operation::Move ? "move " : "remove ") +
           op.path + (op.to.empty() ? "" : " -> " + op.to);
  }
  // Puts the game folder as the disk holds it after the first `count`
  // operations.
  void CutAfter(std::size_t count) const
  {
    Files files = m_initial;
    for (std::size_t i = 0; i < count; ++i) {
      const Operation& op = m_operations[i];
      if (op.kind == Operation::Write) {
        files[op.path] = op.content;
      } else if (auto found = files.find(op.path); found != files.end()) {
        if (op.kind == Operation::Move)
          files[op.to] = found->second;
        files.erase(op.path);
      }
    }
    std::filesystem::remove_all(m_native);
    for (const auto& [path, content] : files) {
      const std::filesystem::path native = m_native / NativeRelative(path);
      std::filesystem::create_directories(native.parent_path());
      WriteFile(native, content);
    }
  }
  static Files Read(const std::filesystem::path& folder)
  {
    Files files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
      if (entry.is_regular_file()) {
        std::string relative = std::filesystem::relative(entry.path(), folder).generic_string();
        std::replace(relative.begin(), relative.end(), '/', '\\');
        files[relative] = ReadFile(entry.path());
      }
    }
    return files;
  }

  std::FILE* OpenFile(const char* path, const char* mode) override
  {
    if (std::strchr(mode, 'w'))
      Note(Operation::Write, path, "", "");
    return m_real.OpenFile(path, mode);
  }
  std::uint32_t FlushFile(const char* path) override
  {
    const std::uint32_t error = m_real.FlushFile(path);
    if (error == 0 && Inside(path))
      Note(Operation::Write, path, "", Content(path));
    return error;
  }
  // Unless flushed first, a copy's name is on the disk before its bytes.
  std::uint32_t CopyFileOver(const char* from, const char* to, bool flush) override
  {
    const std::uint32_t error = m_real.CopyFileOver(from, to, flush);
    if (error == 0 && Inside(to))
      Note(Operation::Write, to, "", flush ? Content(to) : "");
    return error;
  }
  std::uint32_t FlushFiles(const std::vector<std::string>& paths) override
  {
    const std::uint32_t error = m_real.FlushFiles(paths);
    for (const std::string& path : paths)
      if (error == 0 && Inside(path))
        Note(Operation::Write, path, "", Content(path));
    return error;
  }
  std::uint32_t MoveFileTo(const char* from, const char* to) override
  {
    return Moved(from, to, m_real.MoveFileTo(from, to));
  }
  std::uint32_t MoveFileOver(const char* from, const char* to) override
  {
    return Moved(from, to, m_real.MoveFileOver(from, to));
  }
  std::uint32_t RemoveFile(const char* path) override
  {
    const std::uint32_t error = m_real.RemoveFile(path);
    if (error == 0)
      Note(Operation::Remove, path, "", "");
    return error;
  }
  bool CurrentDirectory(std::string& path) override { return m_real.CurrentDirectory(path); }
  std::uint32_t FindFiles(const char* pattern, std::vector<FoundFile>& found) override
  {
    return m_real.FindFiles(pattern, found);
  }
  std::uint32_t MakeFolder(const char* path) override { return m_real.MakeFolder(path); }
  std::uint32_t MakePath(const char* path) override { return m_real.MakePath(path); }
  bool IsFolder(const char* path) override { return m_real.IsFolder(path); }
  std::uint32_t SetAttributes(const char* path, std::uint32_t attributes) override
  {
    return m_real.SetAttributes(path, attributes);
  }
  std::uint32_t RemoveFolder(const char* path) override { return m_real.RemoveFolder(path); }
  std::uint32_t FlushFolder(const char* path) override { return m_real.FlushFolder(path); }
  std::uint32_t ProbeFile(const char* path, std::uint32_t& attributes) override
  {
    return m_real.ProbeFile(path, attributes);
  }
  // Cutting a file flushes it.
  std::uint32_t SetFileLength(const char* path, std::uint64_t length) override
  {
    const std::uint32_t error = m_real.SetFileLength(path, length);
    if (error == 0 && Inside(path))
      Note(Operation::Write, path, "", Content(path));
    return error;
  }
  std::uint32_t TakeLock(const char* path, std::unique_ptr<HeldLock>& lock) override
  {
    return m_real.TakeLock(path, lock);
  }

 private:
  bool Inside(const std::string& path) const
  {
    return m_watching && path.compare(0, m_prefix.size(), m_prefix) == 0;
  }
  std::string Relative(const std::string& path) const { return path.substr(m_prefix.size()); }
  std::string Content(const std::string& path) const
  {
    return ReadFile(m_native / NativeRelative(Relative(path)));
  }
  static std::filesystem::path NativeRelative(std::string relative)
  {
#ifndef _WIN32
    std::replace(relative.begin(), relative.end(), '\\', '/');
#endif
    return relative;
  }
  void Note(Operation::Kind kind, const std::string& path, const std::string& to,
            const std::string& content)
  {
    if (Inside(path))
      m_operations.push_back({kind, Relative(path), to.empty() ? "" : Relative(to), content});
  }
  std::uint32_t Moved(const char* from, const char* to, std::uint32_t error)
  {
    if (error == 0 && Inside(to))
      Note(Operation::Move, from, to, "");
    return error;
  }

  FileSystem& m_real;
  bool m_watching = false;
  std::string m_prefix;
  std::filesystem::path m_native;
  Files m_initial;
  std::vector<Operation> m_operations;
};

class PowerCutTest : public StepUpdateTest {
 protected:
  PowerCutTest() { m_files = &m_disk; }

  // Applies a step with the disk watched, then cuts the power after every
  // operation of it in turn: start-up must leave the archive as the old or
  // the new version, never a mix, with orv.ver never ahead of it, and the
  // next update must finish the step.
  void CutEverywhere(int reStruct)
  {
    WriteArchiveStep();
    CGlobal& global = Start(42);
    global.ReStruct = reStruct;
    const std::string before = Archive();
    m_disk.Watch(global.OrvDir, m_game);
    ASSERT_TRUE(m_patcher->RunStepUpdate());
    m_disk.Stop();
    const std::string after = Archive();
    ASSERT_NE(before, after);

    for (std::size_t cut = 0; cut <= m_disk.Count(); ++cut) {
      SCOPED_TRACE("power cut after " + (cut ? m_disk.Describe(cut - 1) : std::string("nothing")));
      m_disk.CutAfter(cut);
      ASSERT_TRUE(CreateWorkFolder(global));
      WriteFile(m_start.path() / "_temp" / "dl_list.txt", "a step's list");

      RecoverGameFolder(global);

      // A work folder left behind made the next download of its files fail.
      EXPECT_FALSE(std::filesystem::exists(m_start.path() / "_temp"));
      ExpectNothingLeftBehind();
      ExpectOneVersion(before, after);

      ASSERT_TRUE(ReadLocalVersion(global, m_versions));
      EXPECT_TRUE(m_patcher->RunStepUpdate());
      EXPECT_EQ(Archive(), after);
      EXPECT_EQ(ReadFile(m_game / "orv.ver"), "42\r\n");
    }
  }

  DiskModel m_disk{m_backends.files};
};

TEST_F(PowerCutTest, PatchInPlace) { CutEverywhere(0); }
TEST_F(PowerCutTest, PatchAndRebuild) { CutEverywhere(1); }

// Every file operation passes through; counted ones are numbered from 1,
// and the chosen one (or every one from it on) fails with the chosen error,
// as a full disk, a failing disk or another program holding the file makes
// it fail.
class FailingDisk : public FileSystem {
 public:
  explicit FailingDisk(FileSystem& real) : m_real(real) {}

  void Count() { m_count = 0, m_failAt = 0, m_operations.clear(); }
  void FailAt(std::size_t n, std::uint32_t error, bool fromThenOn)
  {
    m_count = 0, m_failAt = n, m_error = error, m_fromThenOn = fromThenOn;
  }
  void Off() { m_failAt = 0; }
  std::size_t Operations() const { return m_count; }
  const std::string& Describe(std::size_t n) const { return m_operations[n - 1]; }

  std::FILE* OpenFile(const char* path, const char* mode) override
  {
    return Fails("open", path) ? nullptr : m_real.OpenFile(path, mode);
  }
  bool CurrentDirectory(std::string& path) override { return m_real.CurrentDirectory(path); }
  std::uint32_t FindFiles(const char* pattern, std::vector<FoundFile>& found) override
  {
    return Fails("list", pattern) ? m_error : m_real.FindFiles(pattern, found);
  }
  std::uint32_t MakeFolder(const char* path) override
  {
    return Fails("make folder", path) ? m_error : m_real.MakeFolder(path);
  }
  std::uint32_t MakePath(const char* path) override
  {
    return Fails("make path", path) ? m_error : m_real.MakePath(path);
  }
  bool IsFolder(const char* path) override { return m_real.IsFolder(path); }
  std::uint32_t SetAttributes(const char* path, std::uint32_t attributes) override
  {
    return Fails("attributes", path) ? m_error : m_real.SetAttributes(path, attributes);
  }
  std::uint32_t RemoveFile(const char* path) override
  {
    return Fails("remove", path) ? m_error : m_real.RemoveFile(path);
  }
  std::uint32_t RemoveFolder(const char* path) override
  {
    return Fails("remove folder", path) ? m_error : m_real.RemoveFolder(path);
  }
  std::uint32_t CopyFileOver(const char* from, const char* to, bool flush) override
  {
    return Fails("copy", to) ? m_error : m_real.CopyFileOver(from, to, flush);
  }
  std::uint32_t MoveFileTo(const char* from, const char* to) override
  {
    return Fails("move", from) ? m_error : m_real.MoveFileTo(from, to);
  }
  std::uint32_t MoveFileOver(const char* from, const char* to) override
  {
    return Fails("move over", from) ? m_error : m_real.MoveFileOver(from, to);
  }
  std::uint32_t FlushFile(const char* path) override
  {
    return Fails("flush", path) ? m_error : m_real.FlushFile(path);
  }
  std::uint32_t FlushFiles(const std::vector<std::string>& paths) override
  {
    return Fails("flush files", paths.empty() ? "" : paths[0].c_str()) ? m_error
                                                                       : m_real.FlushFiles(paths);
  }
  std::uint32_t FlushFolder(const char* path) override
  {
    return Fails("flush folder", path) ? m_error : m_real.FlushFolder(path);
  }
  std::uint32_t ProbeFile(const char* path, std::uint32_t& attributes) override
  {
    return Fails("probe", path) ? m_error : m_real.ProbeFile(path, attributes);
  }
  std::uint32_t SetFileLength(const char* path, std::uint64_t length) override
  {
    return Fails("cut", path) ? m_error : m_real.SetFileLength(path, length);
  }
  std::uint32_t TakeLock(const char* path, std::unique_ptr<HeldLock>& lock) override
  {
    return m_real.TakeLock(path, lock);
  }

 private:
  bool Fails(const char* operation, const char* path)
  {
    ++m_count;
    if (m_failAt == 0)
      m_operations.push_back(std::string(operation) + " " + path);
    return m_failAt != 0 && (m_count == m_failAt || (m_fromThenOn && m_count > m_failAt));
  }

  FileSystem& m_real;
  std::size_t m_count = 0;
  std::size_t m_failAt = 0;
  std::uint32_t m_error = 0;
  bool m_fromThenOn = false;
  std::vector<std::string> m_operations;
};

class FailingDiskTest : public StepUpdateTest {
 protected:
  FailingDiskTest() { m_files = &m_disk; }

  // Runs the update of one step with the n-th file operation failing, for
  // every n the update has; after each, a reported success must be the new
  // version, the archive must read as one version, and the next start
  // without faults must settle what is left and finish the step, with the
  // .dat no longer than a clean update leaves it.
  void FailEverywhere(int reStruct, std::uint32_t error, bool fromThenOn)
  {
    WriteArchiveStep();
    CGlobal& global = Start(42);
    global.ReStruct = reStruct;
    const TempDir saved;
    const std::filesystem::path pristine = saved.path() / "game";
    std::filesystem::copy(m_game, pristine, std::filesystem::copy_options::recursive);
    const std::string before = Archive();
    m_disk.Count();
    ASSERT_TRUE(m_patcher->RunStepUpdate());
    const std::size_t operations = m_disk.Operations();
    const std::string after = Archive();
    const auto cleanSize = std::filesystem::file_size(m_game / "data" / "main.dat");

    for (std::size_t n = 1; n <= operations; ++n) {
      SCOPED_TRACE("failing operation " + std::to_string(n) + ": " + m_disk.Describe(n));
      std::filesystem::remove_all(m_game);
      std::filesystem::remove_all(m_start.path() / "_download");
      std::filesystem::copy(pristine, m_game, std::filesystem::copy_options::recursive);
      m_versions.localVersion = 41;

      m_disk.FailAt(n, error, fromThenOn);
      const bool reported = m_patcher->RunStepUpdate();
      m_disk.Off();

      if (reported) {
        EXPECT_EQ(ReadFile(m_game / "orv.ver"), "42\r\n");
        EXPECT_EQ(Archive(), after);
        EXPECT_EQ(ReadFile(m_game / "maps" / "m1" / "map.dat"), "map 42");
      }
      // What the game would find once the next start has settled: one
      // version's archive, and never orv.ver ahead of it. (A failure after
      // orv.ver moved on, such as the work folder not deleted, is reported
      // as one, which is the safe side.)
      EXPECT_TRUE(RecoverGameFolder(global));
      const bool patched = ExpectOneVersion(before, after);

      ASSERT_TRUE(ReadLocalVersion(global, m_versions));
      EXPECT_TRUE(m_patcher->RunStepUpdate());
      EXPECT_EQ(Archive(), after);
      EXPECT_EQ(ReadFile(m_game / "orv.ver"), "42\r\n");
      EXPECT_EQ(ReadFile(m_game / "maps" / "m1" / "map.dat"), "map 42");
      ExpectNothingLeftBehind();
      // Bytes a failed patch appended were kept and grew the .dat on every
      // try. A patch committed before the failure is applied again, which
      // only a rebuild takes back.
      if (reStruct == 1 || !patched) {
        EXPECT_EQ(std::filesystem::file_size(m_game / "data" / "main.dat"), cleanSize);
      }
    }
  }

  FailingDisk m_disk{m_backends.files};
};

struct DiskFault {
  const char* name;
  int reStruct;
  std::uint32_t error;
  bool fromThenOn;
};

void PrintTo(const DiskFault& fault, std::ostream* out)
{
  *out << fault.name;
}

class FailingDiskFaults : public FailingDiskTest,
                          public ::testing::WithParamInterface<DiskFault> {};

TEST_P(FailingDiskFaults, NeverAFalseSuccessOrAMixedArchiveAndTheNextStartFinishes)
{
  FailEverywhere(GetParam().reStruct, GetParam().error, GetParam().fromThenOn);
}

INSTANTIATE_TEST_SUITE_P(
    EveryOperation, FailingDiskFaults,
    ::testing::Values(DiskFault{"FullDiskOnceInPlace", 0, err::kDiskFull, false},
                      DiskFault{"IoErrorFromThenOnInPlace", 0, err::kWriteFault, true},
                      DiskFault{"HeldFileOnceWithRebuild", 1, err::kSharingViolation, false},
                      DiskFault{"FullDiskFromThenOnWithRebuild", 1, err::kDiskFull, true}),
    [](const ::testing::TestParamInfo<DiskFault>& info) { return info.param.name; });

}  // namespace
}  // namespace orv::test
