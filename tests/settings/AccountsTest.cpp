#include <gtest/gtest.h>

#include <string>

#include "app/CGlobal.h"
#include "settings/Accounts.h"
#include "support/FrameFixture.h"

namespace orv::test {
namespace {

class AccountsTest : public FrameFixture {
 protected:
  // The accounts as the next start of the launcher loads them.
  AccountList Reload()
  {
    m_launcher->Shutdown();
    Launcher& launcher = MakeLauncher();
    launcher.CreateApp();
    EXPECT_TRUE(launcher.Startup());
    return launcher.Global()->accounts;
  }
};

// --- Load and save ---

TEST_F(AccountsTest, AccountsSurviveASaveAndTheNextStart)
{
  CGlobal& global = StartLauncher();
  global.accounts = {
      {"プレイヤー", "p&ss=w%rd +漢字", {"orv01", "orv02"}},
      {"second", "", {}},
      {"", "password only", {}},
  };
  global.SaveAccounts();

  const AccountList loaded = Reload();
  ASSERT_EQ(loaded.size(), 3u);
  EXPECT_EQ(loaded[0], (AccountEntry{"プレイヤー", "p&ss=w%rd +漢字", {"orv01", "orv02"}}));
  EXPECT_EQ(loaded[1], (AccountEntry{"second", "", {}}));
  EXPECT_EQ(loaded[2], (AccountEntry{"", "password only", {}}));
  // Stored as typed: no encoding of any kind.
  EXPECT_NE(ReadFile(ConfigFile()).find("KivoraPass=p&ss=w%rd +漢字\r\n"), std::string::npos);
  EXPECT_NE(ReadFile(ConfigFile()).find("[AccountData2]\r\nKivoraID=\r\n"), std::string::npos);
}

TEST_F(AccountsTest, AGapInTheSectionNumbersEndsLoading)
{
  CGlobal& global = StartLauncher(
      "[AccountData0]\r\nKivoraID=zero\r\n"
      "[AccountData2]\r\nKivoraID=two\r\n");
  ASSERT_EQ(global.accounts.size(), 1u);
  EXPECT_EQ(global.accounts[0].kivoraId, "zero");
}

TEST_F(AccountsTest, AGapInTheAttractionNumbersEndsTheIdList)
{
  CGlobal& global = StartLauncher(
      "[AccountData0]\r\nKivoraID=zero\r\nAttraction0=a\r\nAttraction2=c\r\n");
  ASSERT_EQ(global.accounts.size(), 1u);
  EXPECT_EQ(global.accounts[0].orvAccountIds, (std::vector<std::string>{"a"}));
}

// An entry saved with every value empty used to end loading, so every account
// stored after it vanished at the next start.
TEST_F(AccountsTest, AnEntryWithEveryValueEmptyDoesNotHideLaterAccounts)
{
  CGlobal& global = StartLauncher();
  global.accounts = {{"", "", {}}, {"after", "pw", {"orv"}}};
  global.SaveAccounts();

  const AccountList loaded = Reload();
  ASSERT_EQ(loaded.size(), 2u);
  EXPECT_EQ(loaded[0], (AccountEntry{"", "", {}}));
  EXPECT_EQ(loaded[1], (AccountEntry{"after", "pw", {"orv"}}));
}

TEST_F(AccountsTest, TheSameKivoraIdTwiceIsTwoAccounts)
{
  CGlobal& global = StartLauncher();
  AddAccount(global.accounts, "twice");
  AddAccount(global.accounts, "twice");
  global.SaveAccounts();
  const std::string file = ReadFile(ConfigFile());
  EXPECT_NE(file.find("[AccountData0]\r\nKivoraID=twice\r\nKivoraPass=\r\n"), std::string::npos);
  EXPECT_NE(file.find("[AccountData1]\r\nKivoraID=twice\r\nKivoraPass=\r\n"), std::string::npos);
  EXPECT_EQ(Reload().size(), 2u);
}

TEST_F(AccountsTest, SavingOverwritesMatchingKeysAndDeletesNothing)
{
  CGlobal& global = StartLauncher(
      "[AccountData0]\r\nKivoraID=old\r\nKivoraPass=old\r\nAttraction0=a\r\nAttraction1=b\r\n"
      "Note=by hand\r\n");
  ASSERT_EQ(global.accounts.size(), 1u);
  global.accounts[0].kivoraId = "new";
  global.accounts[0].orvAccountIds = {"z"};
  global.SaveAccounts();
  const std::string file = ReadFile(ConfigFile());
  EXPECT_NE(file.find("KivoraID=new\r\nKivoraPass=old\r\nAttraction0=z\r\nAttraction1=b\r\n"
                      "Note=by hand\r\n"),
            std::string::npos);
}

// --- The edits the windows make ---

TEST(AccountEdits, AddAccountAppendsAnEmptyAccountWithTheId)
{
  AccountList accounts;
  AddAccount(accounts, "one");
  ASSERT_EQ(accounts.size(), 1u);
  EXPECT_EQ(accounts[0], (AccountEntry{"one", "", {}}));
}

TEST(AccountEdits, AttractionIdGoesToTheSelectedElseTheFirstElseANewAccount)
{
  AccountList accounts;
  AddAttractionId(accounts, -1, "first");
  ASSERT_EQ(accounts.size(), 1u);
  EXPECT_EQ(accounts[0], (AccountEntry{"", "", {"first"}}));

  AddAccount(accounts, "b");
  AddAttractionId(accounts, 1, "to b");
  AddAttractionId(accounts, -1, "to first");
  AddAttractionId(accounts, 5, "stale selection");
  EXPECT_EQ(accounts[0].orvAccountIds,
            (std::vector<std::string>{"first", "to first", "stale selection"}));
  EXPECT_EQ(accounts[1].orvAccountIds, (std::vector<std::string>{"to b"}));
}

TEST(AccountEdits, PasswordGoesToTheSelectedElseTheFirstElseANewAccount)
{
  AccountList accounts;
  SetPassword(accounts, -1, "new");
  ASSERT_EQ(accounts.size(), 1u);
  EXPECT_EQ(accounts[0], (AccountEntry{"", "new", {}}));

  AddAccount(accounts, "b");
  SetPassword(accounts, 1, "b's");
  SetPassword(accounts, -1, "first's");
  EXPECT_EQ(accounts[0].password, "first's");
  EXPECT_EQ(accounts[1].password, "b's");
  EXPECT_EQ(accounts.size(), 2u);
}

}  // namespace
}  // namespace orv::test
