#include <gtest/gtest.h>

#include <filesystem>

#include "app/CGlobal.h"
#include "app/LauncherApp.h"
#include "platform/ControlIds.h"
#include "support/FrameFixture.h"
#include "support/PluginFolder.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLocaleText =
    "It is not possible to use it excluding ORV of Japan. \n"
    "The disadvantage of receiving it by changing this program is your responsibility. ";

class StartupTest : public FrameFixture {
 protected:
  // Settings naming a game folder.
  void ConfigureGameFolder(const fs::path& folder)
  {
    WriteFile(ConfigFile(), "[Conf]\r\nOrvDir=" + folder.string() + "\r\n");
  }

  bool StartUp(const char* packLibraryName = "unpack.dll")
  {
    Launcher& launcher = MakeLauncher(packLibraryName);
    launcher.CreateApp();
    return launcher.Startup();
  }

  std::string OrvDir() const { return m_launcher->Global()->OrvDir; }
};

// --- The locale check ---

TEST_F(StartupTest, NonJapaneseUserIsRefusedBeforeAnythingIsReadOrWritten)
{
  std::string whyNot;
  if (!LocaleFollowsEnvironment(whyNot))
    GTEST_SKIP() << whyNot;
  ScopedEnvironment english("LANG", "en_US.UTF-8");
  const std::string settings = "[Conf]\r\nLogging=1\r\n";
  WriteFile(ConfigFile(), settings);

  EXPECT_FALSE(StartUp());

  ASSERT_EQ(m_view.Messages().size(), 1u);
  EXPECT_EQ(m_view.Messages()[0].caption, "sorry Japanese only");
  EXPECT_EQ(m_view.Messages()[0].text, kLocaleText);
  EXPECT_EQ(m_view.Messages()[0].style, MessageStyle::Plain);
  EXPECT_EQ(m_launcher->Global(), nullptr);
  EXPECT_FALSE(LibraryLoaded("unpack.dll"));
  m_launcher->Shutdown();
  EXPECT_EQ(ReadFile(ConfigFile()), settings);
  EXPECT_FALSE(fs::exists(LogFile()));
}

TEST_F(StartupTest, LocaleVariablesAreConsultedInTheCLibrarysOrder)
{
  std::string whyNot;
  if (!LocaleFollowsEnvironment(whyNot))
    GTEST_SKIP() << whyNot;
  ConfigureGameFolder(MakeGameFolder("game"));
  {
    ScopedEnvironment all("LC_ALL", "C");  // outranks the Japanese LANG
    EXPECT_FALSE(StartUp());
  }
  {
    ScopedEnvironment messages("LC_MESSAGES", "ja_JP.eucJP");
    ScopedEnvironment english("LANG", "en_US.UTF-8");
    EXPECT_TRUE(StartUp());
  }
}

// --- The start directory ---

TEST_F(StartupTest, StartDirectoryIsTheCurrentDirectory)
{
  ConfigureGameFolder(MakeGameFolder("game"));
  ASSERT_TRUE(StartUp());
  EXPECT_EQ(std::string(m_launcher->Global()->startDir), m_start.path().string());
  EXPECT_EQ(std::string(m_launcher->App()->startDir), m_start.path().string());
  EXPECT_EQ(std::string(m_launcher->Global()->configPath),
            m_start.path().string() + "\\OLConfig.ini");
}

// Without the check, the settings path was cut to 255 bytes and the launcher
// read and wrote a file of another name.
TEST_F(StartupTest, StartDirectoryTooLongForTheSettingsPathIsRefusedWithoutWriting)
{
  // One byte more than the settings path leaves room for ("\OLConfig.ini"
  // and its end within 255): a path as long as the limit, not far beyond
  // it, and short enough for every file function of either platform.
  constexpr std::size_t kTooLong = 255 - 13 + 1;
  fs::path deep = m_start.path();
  while (deep.string().size() + 1 + 40 + 1 < kTooLong)  // the last name not empty
    deep /= std::string(40, 'd');
  deep /= std::string(kTooLong - deep.string().size() - 1, 'e');
  ASSERT_EQ(deep.string().size(), kTooLong);
  fs::create_directories(deep);
  ScopedCurrentDirectory inDeep(deep);
  WriteFile(deep / "orv.exe", "MZ");

  EXPECT_FALSE(StartUp());

  ASSERT_EQ(m_view.Messages().size(), 1u);
  EXPECT_EQ(m_view.Messages()[0].caption, "Error");
  EXPECT_EQ(m_view.Messages()[0].text.rfind("起動フォルダのパスが長すぎるため起動できません。", 0), 0u);
  EXPECT_FALSE(LibraryLoaded("unpack.dll"));
  m_launcher->Shutdown();
  EXPECT_FALSE(fs::exists(deep / "OLConfig.ini"));
}

// --- The packing library ---

TEST_F(StartupTest, MissingPackingLibraryShowsTheLinkErrorAndCreatesNoSettings)
{
  ConfigureGameFolder(MakeGameFolder("game"));
  fs::remove(ConfigFile());

  EXPECT_FALSE(StartUp("unpack_absent.dll"));

  ASSERT_EQ(m_view.Messages().size(), 1u);
  EXPECT_EQ(m_view.Messages()[0].caption, "Error");
  EXPECT_EQ(m_view.Messages()[0].text,
            "unpack.dll のリンクに失敗しました。\n"
            "同じフォルダに unpack.dll が存在するか確認してください。\n"
            "DllLinkErr");
  m_launcher->Shutdown();
  EXPECT_FALSE(fs::exists(ConfigFile()));
}

TEST_F(StartupTest, MissingEntryPointIsNamedAndTheLibraryIsStillUnloaded)
{
  ConfigureGameFolder(MakeGameFolder("game"));

  EXPECT_FALSE(StartUp("unpack_nofree.dll"));

  ASSERT_EQ(m_view.Messages().size(), 1u);
  EXPECT_EQ(m_view.Messages()[0].text,
            "unpack.dll の関数の読込みに失敗しました。\nFunctionLinkErr:PackFree");
  EXPECT_TRUE(LibraryLoaded("unpack_nofree.dll"));
  m_launcher->Shutdown();
  EXPECT_FALSE(LibraryLoaded("unpack_nofree.dll"));
}

// --- Finding the game ---

TEST_F(StartupTest, ConfiguredGameFolderIsKept)
{
  const fs::path game = MakeGameFolder("game");
  WriteFile(m_start.path() / "orv.exe", "MZ");
  ConfigureGameFolder(game);

  ASSERT_TRUE(StartUp());
  EXPECT_EQ(OrvDir(), game.string());
  EXPECT_EQ(m_view.chooserRuns, 0);
}

TEST_F(StartupTest, GameInTheStartDirectoryReplacesAConfiguredFolderWithoutIt)
{
  fs::create_directories(m_start.path() / "empty");
  ConfigureGameFolder(m_start.path() / "empty");
  WriteFile(m_start.path() / "orv.exe", "MZ");

  ASSERT_TRUE(StartUp());
  EXPECT_EQ(OrvDir(), m_start.path().string());
  EXPECT_EQ(m_view.chooserRuns, 0);
}

TEST_F(StartupTest, ChooserEnablesOkOnlyForAFolderWithTheGameAndKeepsTheConfirmedOne)
{
  const fs::path game = MakeGameFolder("game");
  fs::create_directories(m_start.path() / "other");
  m_view.folderSelections = {(m_start.path() / "other").string(), std::nullopt, game.string()};
  m_view.confirmFolder = true;

  ASSERT_TRUE(StartUp());
  EXPECT_EQ(m_view.chooserRuns, 1);
  EXPECT_EQ(m_view.chooserTitle, "ORVフォルダの指定");
  EXPECT_EQ(m_view.okEnabled, (std::vector<bool>{false, false, true}));
  EXPECT_EQ(OrvDir(), game.string());
}

TEST_F(StartupTest, GameThatIsAFolderCountsAsAbsent)
{
  const fs::path folderGame = m_start.path() / "folder-game";
  fs::create_directories(folderGame / "orv.exe");
  ConfigureGameFolder(folderGame);
  m_view.folderSelections = {folderGame.string()};

  EXPECT_FALSE(StartUp());
  EXPECT_EQ(m_view.chooserRuns, 1);
  EXPECT_EQ(m_view.okEnabled, (std::vector<bool>{false}));
}

TEST_F(StartupTest, GameThatCannotBeOpenedCountsAsAbsent)
{
  const fs::path lockedGame = m_start.path() / "locked-game";
  fs::create_directories(lockedGame);
  std::string whyNot;
  const auto unopenable = MakeUnopenableFile(lockedGame / "orv.exe", whyNot);
  if (!unopenable)
    GTEST_SKIP() << whyNot;
  ConfigureGameFolder(lockedGame);
  m_view.folderSelections = {lockedGame.string()};

  EXPECT_FALSE(StartUp());
  EXPECT_EQ(m_view.chooserRuns, 1);
  EXPECT_EQ(m_view.okEnabled, (std::vector<bool>{false}));
}

TEST_F(StartupTest, ChooserSelectionTooLongForTheFieldIsNotTaken)
{
  const fs::path game = MakeGameFolder("game");
  m_view.folderSelections = {game.string(), std::string(300, 'x')};
  m_view.confirmFolder = false;

  EXPECT_FALSE(StartUp());
  EXPECT_EQ(m_view.okEnabled, (std::vector<bool>{true, false}));
  EXPECT_EQ(OrvDir(), game.string());
}

TEST_F(StartupTest, CancelledChooserEndsSilentlyWithoutSettingsAndUnloadsTheLibrary)
{
  m_view.folderSelections = {m_start.path().string()};
  m_view.confirmFolder = false;

  EXPECT_FALSE(StartUp());
  EXPECT_TRUE(m_view.Messages().empty());
  EXPECT_TRUE(LibraryLoaded("unpack.dll"));
  m_launcher->Shutdown();
  EXPECT_FALSE(LibraryLoaded("unpack.dll"));
  EXPECT_FALSE(fs::exists(ConfigFile()));
}

// --- The whole run ---

TEST_F(StartupTest, RunShowsTheMainWindowThenReleasesEverything)
{
  ConfigureGameFolder(MakeGameFolder("game"));
  bool libraryLoadedDuringDialog = false;
  DialogHandler* handlerRun = nullptr;
  m_view.whileDialogRuns = [&](int, DialogHandler& handler) {
    handlerRun = &handler;
    libraryLoadedDuringDialog = LibraryLoaded("unpack.dll");
  };

  EXPECT_EQ(MakeLauncher().Run(), 1);

  EXPECT_EQ(m_view.dialogsRun, (std::vector<int>{ctl::kMainDialogTemplate}));
  EXPECT_EQ(handlerRun, &m_mainWindow);
  EXPECT_TRUE(libraryLoadedDuringDialog);
  EXPECT_EQ(m_launcher->App(), nullptr);
  EXPECT_EQ(m_launcher->Global(), nullptr);
  EXPECT_FALSE(LibraryLoaded("unpack.dll"));
  EXPECT_TRUE(m_view.Messages().empty());
}

// A second launcher settled the first one's update in the middle of it
// (deleting its work folder) and appended to the same archives.
TEST_F(StartupTest, SecondLauncherSaysSoAndEndsWithoutTouchingTheRunningOnesUpdate)
{
  const fs::path game = MakeGameFolder("game");
  ConfigureGameFolder(game);
  const fs::path marker = game / "OLUpdate.pending";
  const fs::path work = m_start.path() / "_temp" / "data_main.dfl";
  std::string settings;
  m_view.whileDialogRuns = [&](int, DialogHandler&) {
    WriteFile(marker, "42\r\n");
    fs::create_directories(work.parent_path());
    WriteFile(work, "a patch being applied");
    settings = ReadFile(ConfigFile());
    Launcher second(m_backends.With(m_view), m_deployment, m_mainWindow);
    EXPECT_EQ(second.Run(), 1);
  };

  EXPECT_EQ(MakeLauncher().Run(), 1);

  EXPECT_EQ(m_view.dialogsRun.size(), 1u);
  ASSERT_EQ(m_view.Messages().size(), 1u);
  EXPECT_EQ(m_view.Messages()[0].text,
            "ランチャーは既に起動しています。\n起動中のランチャーをお使いください。");
  EXPECT_EQ(ReadFile(marker), "42\r\n");
  EXPECT_EQ(ReadFile(work), "a patch being applied");
  EXPECT_EQ(ReadFile(ConfigFile()), settings);
  // The first one's end lets the next one start.
  m_view.whileDialogRuns = nullptr;
  EXPECT_EQ(MakeLauncher().Run(), 1);
  EXPECT_EQ(m_view.dialogsRun.size(), 2u);
}

TEST_F(StartupTest, MainWindowThatCannotBeCreatedShowsTheSystemText)
{
  ConfigureGameFolder(MakeGameFolder("game"));
  m_view.dialogResult = -1;

  EXPECT_EQ(MakeLauncher().Run(), 1);

  ASSERT_EQ(m_view.Messages().size(), 1u);
  EXPECT_EQ(m_view.Messages()[0].caption, "Error");
  EXPECT_EQ(m_view.Messages()[0].style, MessageStyle::Error);
  EXPECT_EQ(m_view.Messages()[0].text, "エラー内容\n" + m_view.lastErrorText);
  EXPECT_EQ(m_launcher->Global(), nullptr);
}

TEST_F(StartupTest, FailedStartupRunsNoWindowAndStillEndsWithOne)
{
  m_view.confirmFolder = false;
  EXPECT_EQ(MakeLauncher().Run(), 1);
  EXPECT_TRUE(m_view.dialogsRun.empty());
  EXPECT_EQ(m_launcher->App(), nullptr);
}

}  // namespace
}  // namespace orv::test
