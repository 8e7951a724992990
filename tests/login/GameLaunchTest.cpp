// The game start with a real child process (a stand-in game that writes
// down its command line) and real plugins; the WebPage button with a real
// opener program.
#include <cstring>

#include "app/LauncherMode.h"
#include "login/GameLaunch.h"
#include "platform/ControlIds.h"
#include "plugins/CPlugIn.h"
#include "support/FrameFixture.h"
#include "support/PluginFolder.h"
#include "support/StubGame.h"

namespace orv::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Lines = std::vector<std::string>;

class GameLaunchTest : public FrameFixture {
 protected:
  GameLaunchTest() : m_global(StartLauncher()), m_plugins(*m_launcher->Plugins())
  {
    m_global.SetLauncherMode(kGameStart);
    // A folder name with a blank and Japanese letters, given to
    // std::filesystem in UTF-8 on every platform.
    UseGameFolder(m_start.path() / std::u8string(u8"ゲーム フォルダ"));
    m_view.SetControlText(ctl::kOrvAccountCombo, "abc def");
    std::strcpy(m_global.oneTimePass, "P@ss-1");
  }

  // The main button in GameStart, with the registered plugins asked first.
  void Launch()
  {
    LaunchGame(m_global, [this] { return m_plugins.CallPlugProc(); });
  }

  void UseGameFolder(const std::filesystem::path& folder)
  {
    m_game = folder;
    InstallStubGame(folder / "orv.exe");
    std::strcpy(m_global.OrvDir, LauncherPath(folder).c_str());
  }
  // The latest message box shown, or "" when there was none.
  std::string Message() const
  {
    const auto messages = m_view.Messages();
    return messages.empty() ? "" : messages.back().caption + ": " + messages.back().text;
  }

  CGlobal& m_global;
  CPlugIn& m_plugins;
  std::filesystem::path m_game;
};

TEST_F(GameLaunchTest, StartsTheGameInItsFolderWithTheCommandLineAndEnds)
{
  Launch();

  const auto record = WaitForLaunchRecord(m_game);
  ASSERT_TRUE(record.has_value());
  // The blank inside the account splits it: values go on the line unquoted.
  EXPECT_THAT(*record,
              ElementsAre(ProgramSidePath(m_game), "/Launch", "-u:abc", "def", "-p:P@ss-1"));
  EXPECT_THAT(m_view.QuitCalls(), ElementsAre(0));
  EXPECT_EQ(m_view.showNormalCalls(), 1);
  EXPECT_EQ(Message(), "");
}

TEST_F(GameLaunchTest, AnEmptyPasswordStillGivesThePasswordSwitch)
{
  m_global.oneTimePass[0] = '\0';
  m_view.SetControlText(ctl::kOrvAccountCombo, "orv2");
  Launch();
  const auto record = WaitForLaunchRecord(m_game);
  ASSERT_TRUE(record.has_value());
  EXPECT_THAT(Lines(record->begin() + 1, record->end()), ElementsAre("/Launch", "-u:orv2", "-p:"));
}

TEST_F(GameLaunchTest, WhatCannotStartShowsWhyAndKeepsTheLauncherOpen)
{
  struct Case {
    std::string account;
    bool removeGame;
    std::size_t passwordLength;
    std::string message;
  } cases[] = {
      {"", false, 6, "Error: アカウントIDが登録されていません"},
      {"abc", true, 6, "Error: ORVを起動できませんでした\nErrCode [2]"},
      // A line of 512 characters would have to be cut: it is refused whole.
      {std::string(255, 'u'), false, 0, "Error: ORVを起動できませんでした\nErrCode [206]"},
  };
  for (const Case& c : cases) {
    m_view.SetControlText(ctl::kOrvAccountCombo, c.account.c_str());
    if (c.removeGame)
      std::filesystem::remove(m_game / "orv.exe");
    // Fill the password so that the whole line is 512 characters.
    const std::size_t fixed = std::strlen(m_global.OrvDir) + std::strlen("\"\\orv.exe\" /Launch -u: -p:") +
                              c.account.size();
    const std::size_t length = c.passwordLength ? c.passwordLength : 512 - fixed;
    std::strcpy(m_global.oneTimePass, std::string(length, 'p').c_str());

    const std::size_t shown = m_view.Messages().size();
    Launch();
    EXPECT_EQ(m_view.Messages().size(), shown + 1);
    EXPECT_EQ(Message(), c.message);
    EXPECT_THAT(m_view.QuitCalls(), IsEmpty());
    EXPECT_EQ(m_global.launcherMode, kGameStart);
  }
  EXPECT_FALSE(std::filesystem::exists(m_game / "launch_record.txt"));
}

TEST_F(GameLaunchTest, APluginTakingTheStartOverEndsTheLauncherWithoutTheGame)
{
  PluginFolder folder(m_start.path());
  folder.Install("describes", "a.opg");
  folder.Install("takes_over", "b.opg");
  ASSERT_TRUE(m_plugins.SearchPlugIn());

  Launch();
  EXPECT_THAT(m_view.QuitCalls(), ElementsAre(0));
  EXPECT_EQ(m_view.LastLogLine(), "takes_over:PlugProc");
  EXPECT_EQ(m_view.showNormalCalls(), 0);
  // Nothing was started: give a started game time to show itself.
  PauseMilliseconds(300);
  EXPECT_FALSE(std::filesystem::exists(m_game / "launch_record.txt"));
}

TEST_F(GameLaunchTest, APluginAnsweringOtherThanOneLetsTheGameStart)
{
  PluginFolder(m_start.path()).Install("describes", "a.opg");
  ASSERT_TRUE(m_plugins.SearchPlugIn());
  Launch();
  EXPECT_EQ(m_view.LastLogLine(), "describes:PlugProc");
  EXPECT_TRUE(WaitForLaunchRecord(m_game).has_value());
  EXPECT_THAT(m_view.QuitCalls(), ElementsAre(0));
}

TEST_F(GameLaunchTest, TheWebPageButtonOpensTheHomePageAndEnds)
{
  std::string whyNot;
  if (!InstallPageOpener(m_backends, whyNot))
    GTEST_SKIP() << whyNot;
  std::strcpy(m_global.Home, "https://localhost/front/member/webgs/orvcenter.aspx?a=1&b=2");

  OpenHomePage(m_global);
  const auto record = WaitForLaunchRecord(m_start.path());
  ASSERT_TRUE(record.has_value());
  EXPECT_THAT(Lines(record->begin() + 1, record->end()), ElementsAre(m_global.Home));
  EXPECT_THAT(m_view.QuitCalls(), ElementsAre(0));
}

TEST_F(GameLaunchTest, TheWebPageButtonEndsEvenWhenNoBrowserStarts)
{
  std::string whyNot;
  if (!BreakPageOpener(m_backends, whyNot))
    GTEST_SKIP() << whyNot;
  OpenHomePage(m_global);
  EXPECT_THAT(m_view.QuitCalls(), ElementsAre(0));
}

}  // namespace
}  // namespace orv::test
