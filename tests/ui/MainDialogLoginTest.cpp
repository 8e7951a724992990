// The main window signing in on the publisher's two sites (HTTPS loopback
// servers): AutoStart's update, sign-in and game start, each once, and a
// press of the main button while a failed sign-in is still ending.
#include <utility>

#include "MainDialogFixture.h"
#include "app/LauncherMode.h"
#include "support/KivoraSites.h"
#include "support/PatchStep.h"
#include "support/PluginFolder.h"
#include "support/StubGame.h"

namespace orv::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class MainDialogLoginTest : public MainDialogFixture {
 protected:
  MainDialogLoginTest() : MainDialogFixture(LoopbackServer::AuthorityFile())
  {
    m_sites.PointAt(m_deployment);
  }
  // The window and its workers go before the sites they talk to.
  ~MainDialogLoginTest() override { m_dialog.reset(); }

  // Lets the timer tick, as the window would, while the workers run, until
  // the launcher ends or the ticks run out.
  void TickUntilQuit(int ticks)
  {
    for (int tick = 0; tick < ticks && m_view.QuitCalls().empty(); ++tick) {
      PauseMilliseconds(20);
      if (m_view.Timers().count(ctl::kUpdateTimer))
        m_dialog->OnTimer(ctl::kUpdateTimer);
    }
    m_dialog->WaitForWorkers();
  }

  KivoraSites m_sites;
};

TEST_F(MainDialogLoginTest, AutoStartUpdatesSignsInAndStartsTheGameOnceEach)
{
  ServerVersion(42);
  WriteStep(m_root.path(), {42, {{"step.cab", {{"readme.txt", "42"}}}}, {"readme.txt"}});
  Launch("AutoStart=1\r\nLastGID=0\r\n", {{"kivora", "secret", {"orv2"}}});
  InstallStubGame(m_game / "orv.exe");
  Open();
  EXPECT_EQ(Caption(), "Update");

  TickUntilQuit(500);

  EXPECT_EQ(Count("アップデートに成功しました Ver.42"), 1);
  EXPECT_EQ(Count("サーバーログイン"), 1);
  EXPECT_EQ(Count("OneTime:" + KivoraSites::kOneTimePass), 1);
  EXPECT_THAT(m_view.QuitCalls(), ElementsAre(0));
  const auto record = WaitForLaunchRecord(m_game);
  ASSERT_TRUE(record.has_value());
  EXPECT_THAT(Strings(record->begin() + 1, record->end()),
              ElementsAre("/Launch", "-u:orv2", "-p:" + KivoraSites::kOneTimePass));
}

TEST_F(MainDialogLoginTest, AutoStartDoesNotRetryAFailure)
{
  ServerVersion(41);
  m_sites.portal.Handle("POST", "/index.php",
                        [](const HttpRequestSeen&) { return KivoraSites::Reply(500, ""); });
  m_sites.member.Handle("POST", "/front/guest/login.aspx", [](const HttpRequestSeen&) {
    return KivoraSites::Reply(200, "入力してください");
  });
  Launch("AutoStart=1\r\nLastGID=0\r\n", {{"kivora", "wrong", {"orv2"}}});
  Open();
  TickUntilQuit(60);
  EXPECT_EQ(Count("サーバーログイン"), 1);
  EXPECT_EQ(Caption(), "Login");
  EXPECT_THAT(m_view.QuitCalls(), IsEmpty());
}

TEST_F(MainDialogLoginTest, APressWhileAFailedLoginStillEnablesItsButtonsDoesNotHang)
{
  ServerVersion(41);
  m_sites.portal.Handle("POST", "/index.php",
                        [](const HttpRequestSeen&) { return KivoraSites::Reply(500, ""); });
  m_sites.member.Handle("POST", "/front/guest/login.aspx", [](const HttpRequestSeen&) {
    return KivoraSites::Reply(200, "入力してください");
  });
  Launch("LastGID=0\r\n", {{"kivora", "wrong", {"orv2"}}});
  Open();
  // As on Windows, the login thread's enabling of the buttons waits for the
  // window thread.
  m_view.SendWorkerCallsToThisThread();
  const std::size_t before = m_view.EnableCalls().size();
  m_view.UserClicks(ctl::kMainButton);
  // Four buttons off, then the main button on again: the thread still has
  // the other three to enable when the user presses it.
  ASSERT_TRUE(Eventually([&] {
    m_view.DispatchPendingEvent();
    return m_view.EnableCalls().size() == before + 5;
  }));
  ASSERT_EQ(m_view.EnableCalls().back(), ctl::kMainButton);
  // While that press waits, Enter again does nothing and Exit waits its turn.
  bool pressedAgain = false;
  m_view.whileDispatching = [&] {
    if (std::exchange(pressedAgain, true))
      return;
    m_view.UserClicks(ctl::kMainButton);
    m_view.UserClicks(ctl::kExitButton);
  };
  m_view.UserClicks(ctl::kMainButton);
  EXPECT_EQ(m_view.unansweredSends(), 0) << "the press blocked the window thread on the worker";
  EXPECT_TRUE(pressedAgain);
  EXPECT_TRUE(m_view.MainWindowDestroyed());
  // Nothing was started beside the second sign-in, nor after Exit.
  m_dialog->WaitForWorkers();
  EXPECT_EQ(Count("サーバーログイン"), 2);
}

}  // namespace
}  // namespace orv::test
