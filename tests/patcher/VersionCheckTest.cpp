// The local and server versions, the information text and the periodic
// re-check, against a real loopback server.
#include "app/LauncherMode.h"
#include "net/ConnectionContext.h"
#include "patcher/VersionCheck.h"
#include "platform/ControlIds.h"
#include "support/FrameFixture.h"
#include "support/LoopbackServer.h"

namespace orv::test {
namespace {

class VersionCheckTest : public FrameFixture {
 protected:
  CGlobal& Start()
  {
    m_deployment.patchHost = m_deployment.infoHost = "127.0.0.1";
    m_deployment.patchPort = m_deployment.infoPort = m_server.port();
    CGlobal& global = StartLauncher();
    global.workerRun = 1;
    m_connection = std::make_unique<ConnectionContext>(global);
    EXPECT_EQ(m_connection->session.Open(10000), 0);
    return global;
  }
  void WriteLocalVersion(const std::string& content)
  {
    WriteFile(m_start.path() / "game" / "orv.ver", content);
  }

  LoopbackServer m_server;
  VersionState m_versions;
  std::unique_ptr<ConnectionContext> m_connection;
};

TEST_F(VersionCheckTest, LocalVersionIsTheFirstNumberOfOrvVer)
{
  CGlobal& global = Start();
  EXPECT_FALSE(ReadLocalVersion(global, m_versions));
  EXPECT_EQ(m_view.LastLogLine(), "orv.verのオープンに失敗しました");

  WriteLocalVersion("  41\r\nanything");
  ASSERT_TRUE(ReadLocalVersion(global, m_versions));
  EXPECT_EQ(m_versions.localVersion, 41);
  EXPECT_EQ(m_versions.fileVersion, 41);
  EXPECT_EQ(m_view.LastLogLine(), "FileVer:41");

  // Content that is not a number is no version at all; the values stay.
  WriteLocalVersion("version 42");
  EXPECT_FALSE(ReadLocalVersion(global, m_versions));
  EXPECT_EQ(m_versions.localVersion, 41);
}

TEST_F(VersionCheckTest, ServerVersionDecidesBetweenLoginAndUpdateByEqualityOnly)
{
  std::string served = " 42\r\nnotes";
  m_server.Handle("GET", "/orv/orvnew.ver",
                  [&](const HttpRequestSeen&) { return HttpReply{200, served, {}}; });
  CGlobal& global = Start();
  m_versions.localVersion = 41;
  ASSERT_TRUE(CheckServerVersion(global, m_versions, *m_connection));
  EXPECT_EQ(m_versions.serverVersion, 42);
  EXPECT_EQ(global.launcherMode, kUpdate);
  EXPECT_EQ(m_view.ControlText(ctl::kMainButton), "Update");
  EXPECT_EQ(m_view.LogLines().rbegin()[0], "Ver. 41/42");
  EXPECT_EQ(m_view.LogLines().rbegin()[1], "バージョン情報の取得終了");
  EXPECT_EQ(m_view.Status(), "--> Ver. 41/42");

  served = "41";
  ASSERT_TRUE(CheckServerVersion(global, m_versions, *m_connection));
  EXPECT_EQ(global.launcherMode, kLogin);

  served = "40";  // the server behind is still a version to update to
  ASSERT_TRUE(CheckServerVersion(global, m_versions, *m_connection));
  EXPECT_EQ(global.launcherMode, kUpdate);

  // A file that holds no number fails like a failed download.
  global.SetLauncherMode(kGameStart);
  served = "<html>maintenance</html>";
  EXPECT_FALSE(CheckServerVersion(global, m_versions, *m_connection));
  EXPECT_EQ(m_view.LastLogLine(), "バージョン情報の取得に失敗");
  EXPECT_EQ(global.launcherMode, kGameStart);
  EXPECT_EQ(m_versions.serverVersion, 40);
}

TEST_F(VersionCheckTest, InformationTextIsShownAsItCame)
{
  m_server.ServeText("/client/info.txt", "お知らせ\r\n二行目");
  CGlobal& global = Start();
  ASSERT_TRUE(FetchInformation(global, *m_connection));
  EXPECT_EQ(m_view.ControlText(ctl::kInformation), "お知らせ\r\n二行目");
  EXPECT_EQ(m_view.LastLogLine(), "Infomationの取得終了");

  m_server.Handle("GET", "/client/info.txt",
                  [](const HttpRequestSeen&) { return HttpReply{500, "down", {}}; });
  EXPECT_FALSE(FetchInformation(global, *m_connection));
  EXPECT_EQ(m_view.ControlText(ctl::kInformation), "Infomationの取得が行えませんでした");
  EXPECT_EQ(m_view.LastLogLine(), "Infomationの取得に失敗");
}

TEST_F(VersionCheckTest, PeriodicCheckIsDueOnTheFirstArmedTickThenEvery600)
{
  CGlobal& global = Start();
  EXPECT_FALSE(AutoUpdateDue(global, m_versions));  // not armed yet
  global.autoUpdateArmed = 1;
  std::vector<int> due;
  for (int tick = 0; tick <= 1200; ++tick)
    if (AutoUpdateDue(global, m_versions))
      due.push_back(tick);
  EXPECT_EQ(due, (std::vector<int>{0, 600, 1200}));
}

}  // namespace
}  // namespace orv::test
