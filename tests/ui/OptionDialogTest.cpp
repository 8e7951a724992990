// The options panel on the recording view: what its fields accept, what it
// changes in the launcher, and the plugins it runs.
#include "app/LauncherMode.h"
#include "platform/ControlIds.h"
#include "plugins/CPlugIn.h"
#include "support/FrameFixture.h"
#include "support/PluginFolder.h"
#include "ui/MainDialog.h"

namespace orv::test {
namespace {

using ::testing::ElementsAre;

class OptionDialogTest : public FrameFixture {
 protected:
  OptionDialogTest() : m_global(StartLauncher())
  {
    m_dialog = std::make_unique<MainDialog>(m_global, *m_launcher->Plugins());
    m_view.AttachMainWindow(m_dialog.get());
    m_dialog->versions.fileVersion = 41;
    m_dialog->versions.localVersion = 41;
    m_dialog->versions.serverVersion = 41;
  }
  ~OptionDialogTest() override { m_dialog.reset(); }

  void Toggle() { m_view.UserClicks(ctl::kOptionButton); }
  std::string Field(int id) const { return m_view.PanelText(id); }
  void Type(int id, const std::string& text) { m_view.UserTypes(id, text, true); }
  std::string LastMessage() const
  {
    const auto messages = m_view.Messages();
    return messages.empty() ? "" : messages.back().caption + ": " + messages.back().text;
  }

  CGlobal& m_global;
  std::unique_ptr<MainDialog> m_dialog;
};

TEST_F(OptionDialogTest, TheOptionButtonShowsAndHidesThePanelBesideTheWindow)
{
  const int width = m_view.MainWindowWidth();
  Toggle();
  EXPECT_TRUE(m_view.PanelShown());
  EXPECT_EQ(m_view.MainWindowWidth(), width + 187);
  EXPECT_EQ(Field(ctl::kOrvDirEdit), m_global.OrvDir);
  EXPECT_EQ(Field(ctl::kFileVersionEdit), "41");
  Toggle();
  EXPECT_FALSE(m_view.PanelShown());
  EXPECT_EQ(m_view.MainWindowWidth(), width);

  m_view.panelCreationFails = true;
  m_view.lastErrorText = "no resource";
  Toggle();
  EXPECT_EQ(LastMessage(), "Error: エラー内容\nno resource");
  EXPECT_EQ(m_view.MainWindowWidth(), width);
}

TEST_F(OptionDialogTest, TheLocalVersionIsHeldBetweenOneAndTheFileVersion)
{
  Toggle();
  Type(ctl::kLocalVersionEdit, "40");
  EXPECT_EQ(m_dialog->versions.localVersion, 40);
  EXPECT_EQ(m_view.ControlText(ctl::kMainButton), "Update");
  for (const auto& [typed, shown] : std::vector<std::pair<std::string, std::string>>{
           {"0", "1"}, {"", "1"}, {"99", "41"}, {"1000", "41"}}) {
    Type(ctl::kLocalVersionEdit, typed);
    EXPECT_EQ(Field(ctl::kLocalVersionEdit), shown) << typed;
  }
  EXPECT_EQ(m_dialog->versions.localVersion, 41);
  EXPECT_EQ(m_view.ControlText(ctl::kMainButton), "Login");

  Type(ctl::kUpdateStepEdit, "12");
  Type(ctl::kUpdateStepEdit, "1234");
  EXPECT_EQ(Field(ctl::kUpdateStepEdit), "12");
  EXPECT_EQ(m_dialog->versions.updateStep, 12);
}

TEST_F(OptionDialogTest, OpeningThePanelChangesNeitherTheVersionNorTheMode)
{
  // Without orv.ver the version stays 0, or the next update would skip a step.
  m_dialog->versions.fileVersion = 0;
  m_dialog->versions.localVersion = 0;
  m_dialog->versions.serverVersion = 44;
  m_global.SetLauncherMode(kUpdate);
  Toggle();
  EXPECT_EQ(Field(ctl::kLocalVersionEdit), "0");
  EXPECT_EQ(m_dialog->versions.localVersion, 0);
  Toggle();

  // A game at 1000 is not taken back to 1, nor a login undone.
  m_dialog->versions.fileVersion = 1000;
  m_dialog->versions.localVersion = 1000;
  m_dialog->versions.serverVersion = 1000;
  m_global.SetLauncherMode(kGameStart);
  Toggle();
  EXPECT_EQ(Field(ctl::kLocalVersionEdit), "1000");
  EXPECT_EQ(m_dialog->versions.localVersion, 1000);
  EXPECT_EQ(m_view.ControlText(ctl::kMainButton), "GameStart");

  // The field holds as many digits as the file version has.
  Type(ctl::kLocalVersionEdit, "999");
  EXPECT_EQ(m_view.ControlText(ctl::kMainButton), "Update");
  Type(ctl::kLocalVersionEdit, "1000");
  EXPECT_EQ(m_dialog->versions.localVersion, 1000);
  EXPECT_EQ(m_view.ControlText(ctl::kMainButton), "Login");
  Type(ctl::kLocalVersionEdit, "10000");
  EXPECT_EQ(Field(ctl::kLocalVersionEdit), "1000");
}

TEST_F(OptionDialogTest, CancellingTheFolderChooserKeepsTheGameFolder)
{
  const std::string before = m_global.OrvDir;
  const auto other = MakeGameFolder("other");
  Toggle();
  m_view.folderSelections = {other.string()};
  m_view.confirmFolder = false;
  m_view.UserClicks(ctl::kBrowseButton, true);
  EXPECT_EQ(std::string(m_global.OrvDir), before);
  EXPECT_EQ(Field(ctl::kOrvDirEdit), before);

  m_view.confirmFolder = true;
  m_view.UserClicks(ctl::kBrowseButton, true);
  EXPECT_EQ(std::string(m_global.OrvDir), other.string());
  EXPECT_EQ(Field(ctl::kOrvDirEdit), other.string());
}

TEST_F(OptionDialogTest, AccountsAreAddedToTheListAndTheWindow)
{
  Toggle();
  m_view.UserClicks(ctl::kAddAttractionButton, true);
  EXPECT_EQ(LastMessage(), "Error: 登録するAccountIDが入力されていません");
  // With no account at all, the id makes one without a Kivora ID.
  Type(ctl::kAttractionEdit, "orv9");
  m_view.UserClicks(ctl::kAddAttractionButton, true);
  EXPECT_EQ(LastMessage(), "Success: AttractionIDを追加しました");
  EXPECT_EQ(Field(ctl::kAttractionEdit), "");
  EXPECT_EQ(m_global.accounts, (AccountList{{"", "", {"orv9"}}}));
  EXPECT_THAT(m_view.ComboItems(ctl::kOrvAccountCombo), ElementsAre("orv9"));

  Type(ctl::kKivoraEdit, "kivora2");
  m_view.UserClicks(ctl::kAddKivoraButton, true);
  EXPECT_EQ(LastMessage(), "Success: KivoraIDを追加しました");
  EXPECT_EQ(m_global.accounts.back(), (AccountEntry{"kivora2", "", {}}));
  EXPECT_THAT(m_view.ComboItems(ctl::kKivoraIdCombo), ElementsAre("kivora2"));

  m_view.UserTicks(ctl::kReStructCheck, true);
  EXPECT_EQ(m_global.ReStruct, 1);
  m_view.UserTicks(ctl::kParallelPatchCheck, true);
  EXPECT_EQ(m_global.parallelPatch, 1);
}

TEST_F(OptionDialogTest, RunningAPluginClosesThePanelFirst)
{
  Toggle();
  m_view.UserClicks(ctl::kRunPluginButton, true);
  EXPECT_EQ(LastMessage(), "Error: プラグインが登録されていません。");
  Toggle();

  PluginFolder folder(m_start.path());
  folder.Install("describes", "a.opg");
  folder.Install("plain", "b.opg");
  ASSERT_TRUE(m_launcher->Plugins()->SearchPlugIn());
  Toggle();
  EXPECT_THAT(m_view.ListRows(),
              ElementsAre(ElementsAre("describes plugin", "1.2.3", "described by describes"),
                          ElementsAre("b", "", "")));
  ASSERT_EQ(m_view.ListColumns().size(), 3u);
  EXPECT_EQ(m_view.ListColumns()[2].title, "説明");

  m_view.UserClicks(ctl::kRunPluginButton, true);
  EXPECT_EQ(LastMessage(), "Error: プラグインが選択されていません。");
  EXPECT_TRUE(m_view.PanelShown());

  m_view.selectedListRow = 1;
  m_view.UserClicks(ctl::kRunPluginButton, true);
  EXPECT_FALSE(m_view.PanelShown());
  EXPECT_FALSE(m_dialog->optionShown);
  EXPECT_EQ(m_view.LastLogLine(), "plain:PlugLaunch");
}

}  // namespace
}  // namespace orv::test
