#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "app/CGlobal.h"
#include "app/Status.h"
#include "net/HttpSession.h"
#include "settings/ProfileFile.h"
#include "support/FrameFixture.h"
#include "support/TempDir.h"
#include "support/TestPlatform.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;

// --- ProfileFile on real files ---

class ProfileFileTest : public ::testing::Test {
 protected:
  std::string Path() const { return (m_dir / "OLConfig.ini").string(); }
  void Write(const std::string& text) { WriteFile(m_dir / "OLConfig.ini", text); }
  std::string Read() const { return ReadFile(m_dir / "OLConfig.ini"); }

  TempDir m_dir;
  TestPlatform m_backends;
  ProfileFile m_profile{m_backends.files, m_backends.profiles};
};

TEST_F(ProfileFileTest, ReadTextWithoutTheFileLeavesTheDestination)
{
  char value[ProfileFile::kTextSize] = "kept";
  EXPECT_EQ(m_profile.ReadText(Path().c_str(), "Conf", "OrvDir", value), kEFail);
  EXPECT_STREQ(value, "kept");
}

TEST_F(ProfileFileTest, ReadTextOfAMissingOrEmptyKeyEmptiesTheDestination)
{
  Write("[Conf]\r\nHome=\r\n");
  char value[ProfileFile::kTextSize] = "kept";
  EXPECT_EQ(m_profile.ReadText(Path().c_str(), "Conf", "OrvDir", value), kEFail);
  EXPECT_STREQ(value, "");
  std::strcpy(value, "kept");
  EXPECT_EQ(m_profile.ReadText(Path().c_str(), "Conf", "Home", value), kEFail);
  EXPECT_STREQ(value, "");
}

TEST_F(ProfileFileTest, ReadTextCutsValuesTo255Bytes)
{
  Write("[Conf]\r\nHome=" + std::string(300, 'h') + "\r\n");
  char value[ProfileFile::kTextSize];
  EXPECT_EQ(m_profile.ReadText(Path().c_str(), "Conf", "Home", value), kOk);
  EXPECT_EQ(std::string(value), std::string(255, 'h'));
}

TEST_F(ProfileFileTest, ReadIntTreatsTheAbsenceMarkAndMissingKeysAsAbsent)
{
  Write("[Conf]\r\nLastGID=16777215\r\nLastAID=\r\n");
  std::int32_t value = 4;
  EXPECT_EQ(m_profile.ReadInt(Path().c_str(), "LastGID", value), kEFail);
  EXPECT_EQ(m_profile.ReadInt(Path().c_str(), "LastAID", value), kEFail);
  EXPECT_EQ(m_profile.ReadInt(Path().c_str(), "Timeout", value), kEFail);
  EXPECT_EQ(value, 4);
  fs::remove(Path());
  EXPECT_EQ(m_profile.ReadInt(Path().c_str(), "LastGID", value), kEFail);
  EXPECT_EQ(value, 4);
}

TEST_F(ProfileFileTest, ReadIntParsesLeadingDigitsLikeThePlatform)
{
  Write("[Conf]\r\nA=12abc\r\nB=abc\r\nC= -5\r\nD=+7\r\nE=0x10\r\n");
  const std::pair<const char*, std::int32_t> cases[] = {
      {"A", 12}, {"B", 0}, {"C", -5}, {"D", 7}, {"E", 16}};
  for (const auto& [key, expected] : cases) {
    std::int32_t value = 99;
    EXPECT_EQ(m_profile.ReadInt(Path().c_str(), key, value), kOk) << key;
    EXPECT_EQ(value, expected) << key;
  }
}

TEST_F(ProfileFileTest, NamesAreFoundInAnyLetterCase)
{
  Write("[conf]\r\nlastgid = 3\r\n[ACCOUNTDATA0]\r\nkivoraid=player\r\n");
  std::int32_t gid = 0;
  EXPECT_EQ(m_profile.ReadInt(Path().c_str(), "LastGID", gid), kOk);
  EXPECT_EQ(gid, 3);
  char id[ProfileFile::kTextSize];
  EXPECT_EQ(m_profile.ReadText(Path().c_str(), "AccountData0", "KivoraID", id), kOk);
  EXPECT_STREQ(id, "player");
}

TEST_F(ProfileFileTest, WritesCreateFileSectionAndKey)
{
  EXPECT_EQ(m_profile.WriteInt(Path().c_str(), "LastGID", -2), kOk);
  EXPECT_EQ(m_profile.WriteText(Path().c_str(), "AccountData0", "KivoraID", "id"), kOk);
  EXPECT_EQ(m_profile.WriteText(Path().c_str(), "Conf", "OrvDir", "C:\\ORV"), kOk);
  EXPECT_EQ(Read(), "[Conf]\r\nLastGID=-2\r\nOrvDir=C:\\ORV\r\n[AccountData0]\r\nKivoraID=id\r\n");
}

TEST_F(ProfileFileTest, WritesReplaceInPlaceKeepingNamesCommentsAndOrder)
{
  // The platform writes the whole file back in its own form: CR LF lines,
  // no blank lines, no blanks around names; the file's own spelling of a
  // name, its comments and the order of everything stay.
  const std::string before =
      "; written by hand\n"
      "[Other]\n"
      "LastGID=keep me\n"
      "\n"
      "[CONF]\n"
      "  lastgid = 7   \n"
      "Unknown=x\n"
      "\n"
      "[Tail]\n"
      "z=1";
  Write(before);
  EXPECT_EQ(m_profile.WriteInt(Path().c_str(), "LastGID", 8), kOk);
  EXPECT_EQ(m_profile.WriteInt(Path().c_str(), "Timeout", 30), kOk);
  EXPECT_EQ(Read(),
            "; written by hand\r\n[Other]\r\nLastGID=keep me\r\n[CONF]\r\nlastgid=8\r\n"
            "Unknown=x\r\nTimeout=30\r\n[Tail]\r\nz=1\r\n");
}

TEST_F(ProfileFileTest, HasSectionNeedsAKey)
{
  Write("[AccountData0]\r\nKivoraID=\r\n[AccountData1]\r\n");
  EXPECT_TRUE(m_profile.HasSection(Path().c_str(), "AccountData0"));
  EXPECT_FALSE(m_profile.HasSection(Path().c_str(), "AccountData1"));
  EXPECT_FALSE(m_profile.HasSection(Path().c_str(), "AccountData2"));
}

// --- LoadSettings and SaveSettings ---

using SettingsTest = FrameFixture;

TEST_F(SettingsTest, EveryConfKeyIsRead)
{
  CGlobal& global = StartLauncher(
      "LastGID=2\r\nLastAID=1\r\nLogging=1\r\nAutoStart=1\r\nTimeout=5\r\n"
      "Home=https://example.test/home\r\nReStruct=1\r\n");
  EXPECT_EQ(global.LastGID, 2);
  EXPECT_EQ(global.LastAID, 1);
  EXPECT_EQ(global.Logging, 1);
  EXPECT_EQ(global.AutoStart, 1);
  EXPECT_EQ(global.Timeout, 5);  // handed on unchanged, never range-checked
  EXPECT_STREQ(global.Home, "https://example.test/home");
  EXPECT_EQ(global.ReStruct, 1);
  EXPECT_EQ(std::string(global.OrvDir), (m_start.path() / "game").string());
}

TEST_F(SettingsTest, WithoutASettingsFileTheConstructionValuesStay)
{
  WriteFile(m_start.path() / "orv.exe", "MZ");
  Launcher& launcher = MakeLauncher();
  launcher.CreateApp();
  ASSERT_TRUE(launcher.Startup());
  const CGlobal& global = *launcher.Global();
  EXPECT_EQ(global.LastGID, 0);
  EXPECT_EQ(global.Logging, 0);
  EXPECT_EQ(global.Timeout, 60);
  EXPECT_EQ(global.connectionCount, 2);
  EXPECT_STREQ(global.Home, "https://member.kivora.example/front/member/webgs/orvcenter.aspx");
  EXPECT_TRUE(global.accounts.empty());
  EXPECT_FALSE(fs::exists(ConfigFile()));
}

TEST_F(SettingsTest, AbsenceMarkLeavesTheConstructionValue)
{
  CGlobal& global = StartLauncher("LastGID=16777215\r\nTimeout=16777215\r\n");
  EXPECT_EQ(global.LastGID, 0);
  EXPECT_EQ(global.Timeout, 60);
}

TEST(TimeoutSettingTest, BelowAThousandIsSecondsFromAThousandOnMilliseconds)
{
  EXPECT_EQ(TimeoutMilliseconds(60), 60000u);
  EXPECT_EQ(TimeoutMilliseconds(1), 1000u);
  EXPECT_EQ(TimeoutMilliseconds(999), 999000u);
  // Read as seconds, a value written in milliseconds waited over eight hours.
  EXPECT_EQ(TimeoutMilliseconds(30000), 30000u);
  EXPECT_EQ(TimeoutMilliseconds(1000), 1000u);
  EXPECT_EQ(TimeoutMilliseconds(INT32_MAX), 2147483647u);
  EXPECT_EQ(TimeoutMilliseconds(0), 60000u);
  EXPECT_EQ(TimeoutMilliseconds(-5), 60000u);
}

TEST_F(SettingsTest, ProxyIsReadButNeverWrittenBackAndNamesTheModeItSays)
{
  CGlobal& global = StartLauncher("Proxy=http://proxy.example:3128\r\n");
  EXPECT_STREQ(global.Proxy, "http://proxy.example:3128");
  // The player's own line stays as written, whatever the launcher holds.
  std::strcpy(global.Proxy, "direct");
  global.SaveSettings();
  EXPECT_NE(ReadFile(ConfigFile()).find("Proxy=http://proxy.example:3128\r\n"), std::string::npos);

  using Mode = HttpClient::ProxyMode;
  const struct {
    const char* setting;
    bool valid;
    Mode mode;
    const char* server;
  } rows[] = {
      {"", true, Mode::System, ""},
      {" DIRECT ", true, Mode::Direct, ""},
      {"http://10.0.0.1:8080/", true, Mode::Server, "10.0.0.1:8080"},
      {"proxy.example:3128", true, Mode::Server, "proxy.example:3128"},
      {"socks5://proxy.example:1080", false, Mode::System, ""},
      {"http://proxy.example", false, Mode::System, ""},
      {"http://user@proxy.example:80", false, Mode::System, ""},
      {"http://proxy.example:70000", false, Mode::System, ""},
  };
  for (const auto& row : rows) {
    HttpClient::Proxy proxy;
    EXPECT_EQ(ProxyOfSetting(row.setting, proxy), row.valid) << row.setting;
    EXPECT_EQ(proxy.mode, row.mode) << row.setting;
    EXPECT_EQ(proxy.server, row.server) << row.setting;
  }
}

TEST_F(SettingsTest, ConfWithoutHomeEmptiesItAndTheSaveWritesItEmpty)
{
  CGlobal& global = StartLauncher();
  EXPECT_STREQ(global.Home, "");
  global.SaveSettings();
  EXPECT_NE(ReadFile(ConfigFile()).find("\r\nHome=\r\n"), std::string::npos);
}

TEST_F(SettingsTest, FirstSaveWritesAccountsThenAllEightConfKeys)
{
  WriteFile(m_start.path() / "orv.exe", "MZ");
  Launcher& launcher = MakeLauncher();
  launcher.CreateApp();
  ASSERT_TRUE(launcher.Startup());
  CGlobal& global = *launcher.Global();
  AddAccount(global.accounts, "player");
  SetPassword(global.accounts, 0, "secret");
  AddAttractionId(global.accounts, 0, "orv01");
  global.LastAID = -1;

  global.SaveAccounts();
  global.SaveSettings();

  EXPECT_EQ(ReadFile(ConfigFile()),
            "[AccountData0]\r\nKivoraID=player\r\nKivoraPass=secret\r\nAttraction0=orv01\r\n"
            "[Conf]\r\nLastGID=0\r\nLastAID=-1\r\nOrvDir=" +
                m_start.path().string() +
                "\r\nLogging=0\r\nAutoStart=0\r\nTimeout=60\r\n"
                "Home=https://member.kivora.example/front/member/webgs/orvcenter.aspx\r\n"
                "ReStruct=0\r\n");
}

}  // namespace
}  // namespace orv::test
