// The main window's logic on the recording view, with real worker threads
// talking to loopback servers: the patch server, the information site and
// the publisher's two sites.
#include <algorithm>

#include "app/LauncherMode.h"
#include "plugins/CPlugIn.h"
#include "support/FrameFixture.h"
#include "support/KivoraSites.h"
#include "support/PatchStep.h"
#include "support/StubGame.h"
#include "ui/ControlIds.h"
#include "ui/MainDialog.h"

namespace orv::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Strings = std::vector<std::string>;

class MainDialogTest : public FrameFixture {
 protected:
  MainDialogTest() : FrameFixture(LoopbackServer::AuthorityFile())
  {
    m_server.ServeFolder(m_root.path());
    m_deployment.patchHost = m_deployment.infoHost = "127.0.0.1";
    m_deployment.patchPort = m_deployment.infoPort = m_server.port();
    m_sites.PointAt(m_deployment);
    Put(m_root.path() / "client" / "info.txt", "お知らせ");
  }
  static void Put(const std::filesystem::path& file, const std::string& content)
  {
    std::filesystem::create_directories(file.parent_path());
    WriteFile(file, content);
  }
  ~MainDialogTest() override { m_dialog.reset(); }

  void ServerVersion(int version)
  {
    Put(m_root.path() / "orv" / "orvnew.ver", std::to_string(version) + "\r\n");
  }
  // The launcher started on a game folder at version 41 (or none) with the
  // accounts given.
  CGlobal& Launch(const std::string& settings = "", const AccountList& accounts = {},
                  bool withVersionFile = true)
  {
    CGlobal& global = StartLauncher(settings);
    m_game = m_start.path() / "game";
    if (withVersionFile)
      WriteFile(m_game / "orv.ver", "41\r\n");
    global.accounts = accounts;
    return global;
  }
  // A main window opened on the running launcher, its connect sequence done.
  MainDialog& Open()
  {
    m_dialog.reset();
    m_dialog = std::make_unique<MainDialog>(Global(), *m_launcher->Plugins());
    m_view.AttachMainWindow(m_dialog.get());
    m_dialog->OnInitDialog();
    m_dialog->connectThread.Join();
    return *m_dialog;
  }
  CGlobal& Global() { return *m_launcher->Global(); }
  std::string Caption() const { return m_view.ControlText(ctl::kMainButton); }
  // Lets the timer tick, as the window would, while the workers run, until
  // the launcher ends or the ticks run out.
  void TickUntilQuit(int ticks)
  {
    for (int tick = 0; tick < ticks && m_view.QuitCalls().empty(); ++tick) {
      usleep(20000);
      if (m_view.Timers().count(ctl::kUpdateTimer))
        m_dialog->OnTimer(ctl::kUpdateTimer);
    }
    m_dialog->WaitForWorkers();
  }
  long Count(const std::string& line) const
  {
    const Strings lines = m_view.LogLines();
    return std::count(lines.begin(), lines.end(), line);
  }

  TempDir m_root;
  LoopbackServer m_server;
  KivoraSites m_sites;
  std::filesystem::path m_game;
  std::unique_ptr<MainDialog> m_dialog;
};

// --- Opening and the connect sequence ---

TEST_F(MainDialogTest, TheConnectSequenceEndsInTheModeTheVersionsCallFor)
{
  struct Case {
    bool versionFile;
    int server;  // 0: the server has no version file
    std::int32_t mode;
    const char* caption;
  } cases[] = {
      {true, 41, kLogin, "Login"},
      {true, 44, kUpdate, "Update"},
      {false, 44, kUpdate, "Update"},  // local version 0
      {false, 0, kForceLogin, "Force Login"},
      {true, 0, kForceLogin, "Force Login"},
  };
  Launch();
  for (const Case& c : cases) {
    std::filesystem::remove(m_game / "orv.ver");
    std::filesystem::remove(m_root.path() / "orv" / "orvnew.ver");
    if (c.versionFile)
      WriteFile(m_game / "orv.ver", "41\r\n");
    if (c.server)
      ServerVersion(c.server);
    Open();
    EXPECT_EQ(Global().launcherMode, c.mode) << c.caption;
    EXPECT_EQ(Caption(), c.caption);
    EXPECT_EQ(m_view.ControlText(ctl::kInformation), "お知らせ");
    EXPECT_TRUE(m_view.IsControlEnabled(ctl::kMainButton));
    EXPECT_TRUE(m_view.IsControlEnabled(ctl::kOptionButton));
    EXPECT_EQ(m_view.Timers().at(ctl::kUpdateTimer), 1000u);
    EXPECT_EQ(Global().autoUpdateArmed, 1);
  }
  // Without a version resource the title has nothing after the blank.
  EXPECT_EQ(m_view.Title(), "OrvLauncher ");
  EXPECT_EQ(Count("CPlugIn::SearchPlugIn ErrCode:[3]"), 5);
}

TEST_F(MainDialogTest, OpensOnTheLastChosenAccountOrOnNoneWhenTheSettingsAreStale)
{
  ServerVersion(41);
  const AccountList accounts = {{"first", "pw1", {"orv1", "orv2"}}, {"second", "pw2", {"orv3"}}};
  Launch("LastGID=1\r\nLastAID=0\r\n", accounts);
  MainDialog& dialog = Open();
  EXPECT_EQ(dialog.selectedAccount, 1);
  EXPECT_EQ(dialog.selectedOrvAccount, 0);
  EXPECT_THAT(m_view.ComboItems(ctl::kKivoraIdCombo), ElementsAre("first", "second"));
  EXPECT_THAT(m_view.ComboItems(ctl::kOrvAccountCombo), ElementsAre("orv3"));
  EXPECT_EQ(m_view.ControlText(ctl::kPasswordEdit), "pw2");
  EXPECT_STREQ(Global().orvAccountId, "orv3");

  // Indexes the account list does not have are not used as indexes.
  Global().LastGID = 7;
  Global().LastAID = 9;
  Global().orvAccountId[0] = '\0';
  MainDialog& stale = Open();
  EXPECT_EQ(stale.selectedAccount, -1);
  EXPECT_EQ(stale.selectedOrvAccount, -1);
  EXPECT_THAT(m_view.ComboItems(ctl::kOrvAccountCombo), IsEmpty());
  EXPECT_EQ(m_view.ComboSelection(ctl::kKivoraIdCombo), -1);
  EXPECT_EQ(Global().accounts, accounts);
}

// --- Account controls ---

TEST_F(MainDialogTest, TypingIntoTheAccountControlsEditsTheAccounts)
{
  ServerVersion(41);
  Launch();
  MainDialog& dialog = Open();
  EXPECT_EQ(dialog.selectedAccount, -1);
  EXPECT_THAT(m_view.ComboItems(ctl::kKivoraIdCombo), IsEmpty());

  // With no account, typing an id makes the first account and chooses it.
  m_view.UserTypes(ctl::kKivoraIdCombo, "k");
  m_view.UserTypes(ctl::kKivoraIdCombo, "ki");
  EXPECT_EQ(dialog.selectedAccount, 0);
  EXPECT_THAT(m_view.ComboItems(ctl::kKivoraIdCombo), ElementsAre("ki"));
  m_view.UserTypes(ctl::kOrvAccountCombo, "o1");
  m_view.UserTypes(ctl::kPasswordEdit, "pw");
  EXPECT_EQ(Global().accounts, (AccountList{{"ki", "pw", {"o1"}}}));
  EXPECT_STREQ(Global().orvAccountId, "o1");
}

TEST_F(MainDialogTest, AFirstAccountWithoutAnIdIsRenamedAndItsPasswordKept)
{
  ServerVersion(41);
  Launch("LastGID=1\r\n", {{"", "zero's", {"o0"}}, {"one", "one's", {"o1"}}});
  MainDialog& dialog = Open();
  EXPECT_EQ(dialog.selectedAccount, -1);
  // The window showed account 1's password; account 0 keeps its own.
  EXPECT_EQ(m_view.ControlText(ctl::kPasswordEdit), "one's");
  EXPECT_EQ(Global().accounts[0].password, "zero's");

  m_view.UserTypes(ctl::kKivoraIdCombo, "zero");
  EXPECT_EQ(Global().accounts[0].kivoraId, "zero");
  EXPECT_THAT(m_view.ComboItems(ctl::kKivoraIdCombo), ElementsAre("", "one", "zero"));
  EXPECT_EQ(dialog.selectedAccount, 0);
  // From now on the chosen item is renamed in place.
  m_view.UserTypes(ctl::kKivoraIdCombo, "zero2");
  EXPECT_THAT(m_view.ComboItems(ctl::kKivoraIdCombo), ElementsAre("zero2", "one", "zero"));
}

TEST_F(MainDialogTest, ChangingTheAccountButNotThePasswordTakesTheLoginBack)
{
  ServerVersion(41);
  Launch("", {{"a", "pa", {"a1", "a2"}}, {"b", "pb", {"b1"}}});
  MainDialog& dialog = Open();
  const auto afterLogin = [&] {
    Global().SetLauncherMode(kGameStart);
    return Caption() == "GameStart";
  };

  ASSERT_TRUE(afterLogin());
  m_view.UserTypes(ctl::kPasswordEdit, "new");
  EXPECT_EQ(Global().launcherMode, kGameStart);
  EXPECT_EQ(Global().accounts[0].password, "new");

  m_view.UserSelectsComboItem(ctl::kOrvAccountCombo, 1);
  EXPECT_EQ(Caption(), "Login");
  EXPECT_STREQ(Global().orvAccountId, "a2");
  EXPECT_EQ(Global().LastAID, 1);

  ASSERT_TRUE(afterLogin());
  m_view.UserSelectsComboItem(ctl::kKivoraIdCombo, 1);
  EXPECT_EQ(Caption(), "Login");
  EXPECT_EQ(dialog.selectedAccount, 1);
  EXPECT_EQ(Global().LastGID, 1);
  EXPECT_THAT(m_view.ComboItems(ctl::kOrvAccountCombo), ElementsAre("b1"));
  EXPECT_EQ(m_view.ControlText(ctl::kPasswordEdit), "pb");

  // Update stays Update.
  Global().SetLauncherMode(kUpdate);
  m_view.UserTypes(ctl::kOrvAccountCombo, "b9");
  EXPECT_EQ(Caption(), "Update");
  EXPECT_EQ(Global().accounts[1].orvAccountIds, Strings{"b9"});
}

// --- Timer ---

TEST_F(MainDialogTest, ThePeriodicCheckTakesAGameStartBackToLogin)
{
  ServerVersion(41);
  Launch();
  MainDialog& dialog = Open();
  Global().SetLauncherMode(kGameStart);
  dialog.OnTimer(ctl::kUpdateTimer);
  EXPECT_EQ(Caption(), "Login");
  EXPECT_EQ(Count("自動更新確認"), 1);
  EXPECT_EQ(m_view.LastLogLine(), "自動更新確認の終了");
  // The next check is 600 ticks away.
  Global().SetLauncherMode(kGameStart);
  for (int tick = 1; tick < 600; ++tick)
    dialog.OnTimer(ctl::kUpdateTimer);
  EXPECT_EQ(Caption(), "GameStart");
  dialog.OnTimer(ctl::kUpdateTimer);
  EXPECT_EQ(Caption(), "Login");
}

// --- AutoStart ---

TEST_F(MainDialogTest, AutoStartUpdatesSignsInAndStartsTheGameOnceEach)
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

TEST_F(MainDialogTest, AutoStartDoesNotRetryAFailure)
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

// --- Exit ---

TEST_F(MainDialogTest, ExitDuringAPatchRunStopsItAndWaitsBeforeTheWindowGoes)
{
  ServerVersion(42);
  // A step whose one cabinet takes long to arrive.
  Put(patchkit::StepFolder(m_root.path(), 42) / "dl_list.txt", "big.cab,1\r\n");
  m_server.ServeGenerated("/D00000042/big.cab", 1u << 30);
  Launch();
  MainDialog& dialog = Open();
  Global().ReStruct = 1;
  m_view.UserClicks(ctl::kMainButton);
  ASSERT_TRUE(Eventually([&] { return m_view.Status().rfind("--> big.cab", 0) == 0; }));

  m_view.UserClicks(ctl::kExitButton);
  EXPECT_FALSE(dialog.stepPatcher.HasThread());
  EXPECT_GT(m_view.dispatchCalls(), 0);
  EXPECT_TRUE(m_view.MainWindowDestroyed());
  EXPECT_EQ(Global().launcherMode, kUpdate);
  // The window saved the settings as it went.
  EXPECT_NE(ReadFile(ConfigFile()).find("ReStruct=1"), std::string::npos);
}

}  // namespace
}  // namespace orv::test
