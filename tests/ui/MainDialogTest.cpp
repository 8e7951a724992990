// The main window's logic on the recording view: opening and the connect
// sequence, the account controls, the timer and Exit, against the loopback
// patch server and information site.
#include <atomic>
#include <utility>

#include "MainDialogFixture.h"
#include "app/LauncherMode.h"
#include "support/PatchStep.h"
#include "support/StubGame.h"

namespace orv::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using MainDialogTest = MainDialogFixture;

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
    // No case may inherit its mode from the one before: each starts from
    // one that none ends in.
    Global().SetLauncherMode(kGameStart);
    Global().autoUpdateArmed = 0;
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

TEST_F(MainDialogTest, OpensOnTheLastChosenAccountOrOnTheFirstWhenTheSettingsAreStale)
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

  // The id the box shows is the one a keystroke edits: orv1 stays.
  Global().LastGID = 0;
  Global().LastAID = 1;
  MainDialog& second = Open();
  EXPECT_EQ(m_view.ControlText(ctl::kOrvAccountCombo), "orv2");
  EXPECT_STREQ(Global().orvAccountId, "orv2");
  m_view.UserTypes(ctl::kOrvAccountCombo, "orv2x");
  EXPECT_EQ(Global().accounts[0].orvAccountIds, (Strings{"orv1", "orv2x"}));
  EXPECT_EQ(second.selectedOrvAccount, 1);

  // Indexes the account list does not have are not used: the boxes show the
  // first account, which is what typing then edits.
  Global().accounts = accounts;
  Global().LastGID = 7;
  Global().LastAID = 9;
  MainDialog& stale = Open();
  EXPECT_EQ(stale.selectedAccount, 0);
  EXPECT_EQ(stale.selectedOrvAccount, 0);
  EXPECT_EQ(m_view.ComboSelection(ctl::kKivoraIdCombo), 0);
  EXPECT_EQ(m_view.ControlText(ctl::kOrvAccountCombo), "orv1");
  EXPECT_EQ(Global().LastGID, 0);
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

  // The extra item is no account's: its box of ids is empty, an id typed
  // there goes to the first account, and each keystroke edits the id it
  // added (not the account's first).
  m_view.UserSelectsComboItem(ctl::kKivoraIdCombo, 2);
  m_view.UserTypes(ctl::kOrvAccountCombo, "x");
  m_view.UserTypes(ctl::kOrvAccountCombo, "xy");
  EXPECT_EQ(Global().accounts[0].orvAccountIds, (Strings{"o0", "xy"}));
  // Its index is saved as no LastGID.
  m_view.DestroyMainWindow();
  EXPECT_NE(ReadFile(ConfigFile()).find("LastGID=0\r\n"), std::string::npos);
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
  ASSERT_TRUE(Eventually([&] { return m_view.LastLogLine() == "自動更新確認の終了"; }));
  EXPECT_EQ(Caption(), "Login");
  EXPECT_EQ(Count("自動更新確認"), 1);
  // The next check is 600 ticks away.
  Global().SetLauncherMode(kGameStart);
  for (int tick = 1; tick < 600; ++tick)
    dialog.OnTimer(ctl::kUpdateTimer);
  EXPECT_EQ(Caption(), "GameStart");
  dialog.OnTimer(ctl::kUpdateTimer);
  EXPECT_TRUE(Eventually([&] { return Caption() == "Login"; }));
}

TEST_F(MainDialogTest, ACheckOnAServerThatDoesNotAnswerHoldsNeitherTheWindowNorExit)
{
  ServerVersion(41);
  Launch();
  MainDialog& dialog = Open();
  std::atomic<bool> released{false}, held{false};
  m_server.Handle("GET", "/orv/orvnew.ver", [&](const HttpRequestSeen&) {
    held = true;
    Eventually([&] { return released.load(); });
    held = false;
    return HttpReply{.status = 200, .body = "41", .headers = {}};
  });
  dialog.OnTimer(ctl::kUpdateTimer);
  ASSERT_TRUE(Eventually([&] { return held.load(); }));
  // Without a worker of its own the tick would have returned only once the
  // server answered, and Exit would have waited for it.
  m_view.UserClicks(ctl::kExitButton);
  EXPECT_TRUE(m_view.MainWindowDestroyed());
  EXPECT_TRUE(held) << "the window waited for the server";
  // The handler uses this test's flags: it must be done before they go.
  released = true;
  EXPECT_TRUE(Eventually([&] { return !held.load(); }));
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
  // A tick that was due as the run began does nothing until it has ended.
  dialog.OnTimer(ctl::kUpdateTimer);
  EXPECT_EQ(Count("自動更新確認"), 0);

  WhenDownloadEnds cut(m_start.path() / "_download" / "D00000042" / "big.cab.part",
                       [this] { m_server.CutConnections(); });
  // Exit stays enabled while it waits: a second press arrives inside it.
  bool pressedAgain = false;
  m_view.whileDispatching = [&] {
    if (std::exchange(pressedAgain, true))
      return;
    m_view.UserClicks(ctl::kExitButton);
    EXPECT_FALSE(m_view.MainWindowDestroyed()) << "the second Exit waited for the workers again";
  };
  m_view.whenMainWindowDestroyed = [&] {
    EXPECT_FALSE(dialog.stepPatcher.HasThread() || dialog.connectThread.Started() ||
                 dialog.loginContext.workerThread.Started())
        << "the window went before its workers were waited for";
  };
  m_view.UserClicks(ctl::kExitButton);
  EXPECT_TRUE(pressedAgain);
  EXPECT_TRUE(m_view.MainWindowDestroyed());
  EXPECT_EQ(Global().launcherMode, kUpdate);
  // The window saved the settings as it went.
  EXPECT_NE(ReadFile(ConfigFile()).find("ReStruct=1"), std::string::npos);
}

}  // namespace
}  // namespace orv::test
