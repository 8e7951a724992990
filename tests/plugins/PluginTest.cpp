// Plugins: real libraries in a real Plugin folder, registered, asked at game
// start, and calling back into the launcher through GetAppInfo.
#include <cstring>

#include "app/LauncherApp.h"
#include "app/LauncherMode.h"
#include "platform/ControlIds.h"
#include "plugins/CPlugIn.h"
#include "support/FrameFixture.h"
#include "support/PluginFolder.h"

namespace orv::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

class PluginTest : public FrameFixture {
 protected:
  PluginTest() : m_global(StartLauncher()), m_plugins(*m_launcher->Plugins()) {}

  PluginFolder m_folder{m_start.path()};
  CGlobal& m_global;
  CPlugIn& m_plugins;
};

TEST_F(PluginTest, RegistersEveryLibraryInNameOrderAndKeepsOnlyTheUsableOnes)
{
  m_folder.Install("describes", "a_describes.opg");
  m_folder.Install("no_launch", "b_no_launch.opg");
  WriteFile(m_folder.path() / "c_text.opg", "not a library");
  std::filesystem::create_directories(m_folder.path() / "d_folder.opg");
  m_folder.Install("plain", "e_plain.opg");
  // A plain file, which the platform lists with no attribute but "normal".
  m_folder.Install("plain", "g_plain.opg");

  EXPECT_TRUE(m_plugins.SearchPlugIn());

  EXPECT_THAT(m_view.LogLines(),
              ElementsAre("プラグインの登録中…",
                          "a_describes.opgを登録しています", "describes:PlugInfo",
                          "a_describes.opgの登録が完了しました",
                          "b_no_launch.opgを登録しています", "PlugLaunch関数の登録に失敗しました",
                          "b_no_launch.opgの登録に失敗しました",
                          "c_text.opgを登録しています", "プラグインのリンクに失敗しました",
                          "c_text.opgの登録に失敗しました",
                          "e_plain.opgを登録しています", "e_plain.opgの登録が完了しました",
                          "g_plain.opgを登録しています", "g_plain.opgの登録が完了しました",
                          "プラグインの登録が終わりました"));

  const auto& records = m_plugins.Records();
  ASSERT_EQ(records.size(), 3u);
  // Described by its PlugInfo.
  EXPECT_STREQ(records[0]->info.name, "describes plugin");
  EXPECT_STREQ(records[0]->info.description, "described by describes");
  EXPECT_STREQ(records[0]->info.version, "1.2.3");
  EXPECT_NE(records[0]->plugProc, nullptr);
  EXPECT_NE(records[0]->plugTimer, nullptr);
  // Named after its file.
  EXPECT_STREQ(records[1]->info.name, "e_plain");
  EXPECT_EQ(records[1]->info.description, nullptr);
  EXPECT_EQ(records[1]->info.version, nullptr);
  EXPECT_EQ(records[1]->plugProc, nullptr);
  EXPECT_EQ(std::string(records[1]->path),
            std::string(m_global.app().startDir) + "\\Plugin\\e_plain.opg");

  // What was refused is not left loaded.
  EXPECT_FALSE(LibraryLoadedAt(m_folder.path() / "b_no_launch.opg"));

  m_plugins.UnloadAll();
  EXPECT_THAT(m_plugins.Records(), IsEmpty());
  EXPECT_FALSE(LibraryLoadedAt(m_folder.path() / "a_describes.opg"));
}

TEST_F(PluginTest, APluginThrowingWhileDescribedIsRefusedAndReleased)
{
  m_folder.Install("throws", "f_throws.opg");
  m_folder.Install("plain", "g_plain.opg");

  EXPECT_TRUE(m_plugins.SearchPlugIn());

  EXPECT_THAT(m_view.LogLines(),
              ElementsAre("プラグインの登録中…",
                          "f_throws.opgを登録しています", "プラグインの登録時に例外を検出しました",
                          "f_throws.opgの登録に失敗しました",
                          "g_plain.opgを登録しています", "g_plain.opgの登録が完了しました",
                          "プラグインの登録が終わりました"));
  ASSERT_EQ(m_plugins.Records().size(), 1u);
  EXPECT_FALSE(LibraryLoadedAt(m_folder.path() / "f_throws.opg"));
}

TEST_F(PluginTest, TheFilesVersionInformationDescribesThePluginBeforeItsPlugInfo)
{
  m_folder.Install("versioned", "versioned.opg");
  EXPECT_TRUE(m_plugins.SearchPlugIn());
  ASSERT_EQ(m_plugins.Records().size(), 1u);
  const PluginInfo& info = m_plugins.Records()[0]->info;
  EXPECT_STREQ(info.name, "versioned by its file");
  EXPECT_STREQ(info.description, "版情報で説明されるプラグイン");
  EXPECT_STREQ(info.version, "Rev.7");
  EXPECT_THAT(m_view.LogLines(), Not(Contains("versioned:PlugInfo")));
}

TEST_F(PluginTest, AnEmptyOrMissingFolderIsOneLine)
{
  EXPECT_FALSE(m_plugins.SearchPlugIn());
  EXPECT_THAT(m_view.LogLines(), ElementsAre("CPlugIn::SearchPlugIn ErrCode:[3]"));

  std::filesystem::create_directories(m_folder.path());
  WriteFile(m_folder.path() / "readme.txt", "plugins go here");
  EXPECT_TRUE(m_plugins.SearchPlugIn());
  EXPECT_EQ(m_view.LastLogLine(), "プラグインが見つかりませんでした");
  EXPECT_EQ(m_view.LogLines().size(), 2u);
}

TEST_F(PluginTest, TheFirstPlugProcAnsweringOneTakesTheStartOver)
{
  m_folder.Install("describes", "a.opg");   // answers 2: not a yes
  m_folder.Install("plain", "b.opg");       // has no PlugProc
  m_folder.Install("takes_over", "c.opg");  // answers 0x101: its low byte is 1
  m_folder.Install("also_takes", "d.opg");  // never asked
  ASSERT_TRUE(m_plugins.SearchPlugIn());
  const std::size_t registrationLines = m_view.LogLines().size();

  EXPECT_TRUE(m_plugins.CallPlugProc());
  const std::vector<std::string> lines = m_view.LogLines();
  EXPECT_THAT(std::vector<std::string>(lines.begin() + registrationLines, lines.end()),
              ElementsAre("describes:PlugProc", "takes_over:PlugProc"));
}

TEST_F(PluginTest, NoPluginSayingYesLeavesTheStartToTheLauncher)
{
  EXPECT_FALSE(m_plugins.CallPlugProc());
  m_folder.Install("describes", "a.opg");
  m_folder.Install("plain", "b.opg");
  ASSERT_TRUE(m_plugins.SearchPlugIn());
  EXPECT_FALSE(m_plugins.CallPlugProc());
  EXPECT_EQ(m_view.LastLogLine(), "describes:PlugProc");
}

// --- GetAppInfo and the host services, as a plugin sees them ---

class HostExportTest : public PluginTest {
 protected:
  // A registered plugin's own copy of the record GetAppInfo filled when its
  // PlugLaunch ran.
  AppInfo& LaunchProbe()
  {
    m_folder.Install("plain", "probe.opg");
    EXPECT_TRUE(m_plugins.SearchPlugIn());
    const PluginRecord& record = *m_plugins.Records().at(0);
    record.plugLaunch();
    auto probe = reinterpret_cast<AppInfo* (*)()>(
        m_backends.libraries.Symbol(record.module, "ProbeAppInfo"));
    EXPECT_NE(probe, nullptr);
    return *probe();
  }
};

TEST_F(HostExportTest, FillsTheListedFieldsWithLiveTextsAndLeavesTheRestAlone)
{
  const AppInfo& info = LaunchProbe();

  EXPECT_EQ(info.orvDir, m_global.OrvDir);
  EXPECT_EQ(info.oneTimePass, m_global.oneTimePass);
  EXPECT_EQ(info.orvAccountId, m_global.orvAccountId);
  EXPECT_EQ(info.configPath, m_global.configPath);
  EXPECT_STREQ(info.oneTimePass, "");
  // The pointers show later changes without a second call.
  std::strcpy(m_global.oneTimePass, "A1B2C3");
  EXPECT_STREQ(info.oneTimePass, "A1B2C3");

  EXPECT_EQ(info.mainWindow, m_view.ControlHandle(View::kMainWindowHandle));
  EXPECT_EQ(info.processLogList, m_view.ControlHandle(ctl::kProcessLog));
  EXPECT_EQ(info.infoEdit, m_view.ControlHandle(ctl::kInformation));
  EXPECT_EQ(info.progressBar, m_view.ControlHandle(ctl::kProgressBar));
  EXPECT_EQ(info.startButton, m_view.ControlHandle(ctl::kMainButton));
  EXPECT_EQ(info.exitButton, m_view.ControlHandle(ctl::kExitButton));
  EXPECT_EQ(info.optionButton, m_view.ControlHandle(ctl::kOptionButton));
  EXPECT_EQ(info.webPageButton, m_view.ControlHandle(ctl::kWebPageButton));
  EXPECT_EQ(info.hostFlag, 1);

  // The plugin filled its record with 0xAB first; reserved bytes keep it.
  auto untouched = [](const void* field, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(field);
    for (std::size_t i = 0; i < size; ++i)
      if (bytes[i] != 0xAB)
        return false;
    return true;
  };
  EXPECT_TRUE(untouched(info.reserved1, sizeof info.reserved1));
  EXPECT_TRUE(untouched(&info.reserved2, sizeof info.reserved2));
  EXPECT_TRUE(untouched(info.reserved3, sizeof info.reserved3));
}

TEST_F(HostExportTest, TheWritersFormatOnceWithinTheirLimits)
{
  const AppInfo& info = LaunchProbe();
  ASSERT_EQ(m_view.LastLogLine(), "plain:PlugLaunch");

  info.WriteLog("%s %d%%", "done", 100);
  EXPECT_EQ(m_view.LastLogLine(), "done 100%");
  info.WriteLog("%s", "50%d of %s");
  EXPECT_EQ(m_view.LastLogLine(), "50%d of %s");
  info.WriteLog("%s", std::string(600, 'x').c_str());
  EXPECT_EQ(m_view.LastLogLine(), std::string(511, 'x'));

  info.WriteStatus("%d%% %s", 40, "%n");
  EXPECT_EQ(m_view.Status(), "40% %n");
  info.WriteStatus("%s", std::string(300, 'y').c_str());
  EXPECT_EQ(m_view.Status(), std::string(255, 'y'));
}

TEST_F(HostExportTest, LauncherModeAccessReadsOrSetsTheMode)
{
  const AppInfo& info = LaunchProbe();
  m_global.SetLauncherMode(kLogin);

  EXPECT_EQ(info.LauncherModeAccess(-1), kLogin);
  EXPECT_EQ(m_global.launcherMode, kLogin);

  EXPECT_EQ(info.LauncherModeAccess(kGameStart), kGameStart);
  EXPECT_EQ(m_view.ControlText(ctl::kMainButton), "GameStart");
  EXPECT_THAT(m_view.Messages(), IsEmpty());

  EXPECT_EQ(info.LauncherModeAccess(7), 7);
  EXPECT_EQ(m_view.ControlText(ctl::kMainButton), "Error");
  ASSERT_EQ(m_view.Messages().size(), 1u);
  EXPECT_EQ(m_view.Messages()[0].text, "不正なランチャモード");
}

TEST_F(HostExportTest, PackingServicesRoundTripThroughTheLibrary)
{
  const AppInfo& info = LaunchProbe();
  const std::string text(1000, 'z');
  void* packed = nullptr;
  std::uint32_t packedSize = 0;
  ASSERT_EQ(info.Pack(text.data(), static_cast<std::uint32_t>(text.size()), &packed, &packedSize),
            1);
  ASSERT_NE(packed, nullptr);
  EXPECT_LT(packedSize, text.size());

  void* unpacked = nullptr;
  std::uint32_t unpackedSize = static_cast<std::uint32_t>(text.size());
  ASSERT_EQ(info.Unpack(packed, packedSize, &unpacked, &unpackedSize), 1);
  EXPECT_EQ(std::string(static_cast<const char*>(unpacked), unpackedSize), text);
  EXPECT_EQ(info.PackDataRelease(packed), 1);
  EXPECT_EQ(info.PackDataRelease(unpacked), 1);
  EXPECT_THAT(m_view.Messages(), IsEmpty());
}

}  // namespace
}  // namespace orv::test
