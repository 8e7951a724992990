#include <gtest/gtest.h>

#include <string>

#include "Win32TestSupport.h"
#include "platform/win32/ProfileWin32.h"

namespace orv::test::win32 {
namespace {

class ProfileWin32Test : public ::testing::Test {
 protected:
  TempFolder m_dir;
  std::string m_file = m_dir / "OLConfig.ini";
  orv::win32::ProfileWin32 m_profiles;

  std::string Get(const char* section, const char* key, std::size_t size = 256)
  {
    return m_profiles.GetString(section, key, "default", size, m_file.c_str());
  }
};

TEST_F(ProfileWin32Test, MissingFileSectionOrKeyReadsAsTheDefault)
{
  EXPECT_EQ(Get("Conf", "OrvDir"), "default");
  EXPECT_EQ(m_profiles.GetInt("Conf", "Timeout", 60, m_file.c_str()), 60u);
  EXPECT_FALSE(m_profiles.SectionHasKeys("Conf", m_file.c_str()));

  WriteWholeFile(m_file, "[Conf]\r\nLogging=1\r\n[Empty]\r\n[Comment]\r\n;Key=1\r\n");
  EXPECT_EQ(Get("Other", "Logging"), "default");
  EXPECT_EQ(Get("Conf", "OrvDir"), "default");
  EXPECT_EQ(m_profiles.GetInt("Conf", "Timeout", -1, m_file.c_str()), 0xFFFFFFFFu);
  EXPECT_TRUE(m_profiles.SectionHasKeys("Conf", m_file.c_str()));
  EXPECT_TRUE(m_profiles.SectionHasKeys("CONF", m_file.c_str()));
  EXPECT_FALSE(m_profiles.SectionHasKeys("Empty", m_file.c_str()));
  EXPECT_FALSE(m_profiles.SectionHasKeys("Comment", m_file.c_str()));
  EXPECT_FALSE(m_profiles.SectionHasKeys("Missing", m_file.c_str()));
}

TEST_F(ProfileWin32Test, NamesCompareWithoutCaseAndNumbersTakeTheirLeadingDigits)
{
  WriteWholeFile(m_file,
                 "[conf]\r\nORVDIR=C:\\ゲーム\r\nTimeout=1500ms\r\nEmpty=\r\nWord=abc\r\n"
                 "Negative=-5\r\n");
  EXPECT_EQ(Get("CONF", "orvdir"), "C:\\ゲーム");
  EXPECT_EQ(m_profiles.GetInt("Conf", "timeout", 60, m_file.c_str()), 1500u);
  EXPECT_EQ(m_profiles.GetInt("Conf", "Empty", 60, m_file.c_str()), 60u);
  EXPECT_EQ(m_profiles.GetInt("Conf", "Word", 60, m_file.c_str()), 0u);
  EXPECT_EQ(m_profiles.GetInt("Conf", "Negative", 60, m_file.c_str()), static_cast<std::uint32_t>(-5));
}

TEST_F(ProfileWin32Test, LongValuesAreCutToTheBufferLessOne)
{
  const std::string longValue(300, 'v');
  ASSERT_TRUE(m_profiles.WriteString("Conf", "Home", longValue.c_str(), m_file.c_str()));
  EXPECT_EQ(Get("Conf", "Home"), std::string(255, 'v'));
  EXPECT_EQ(Get("Conf", "Home", 1000), longValue);
  EXPECT_EQ(Get("Conf", "Home", 1), "");
  EXPECT_EQ(Get("Conf", "Home", 0), "");
  EXPECT_EQ(Get("Conf", "Missing", 4), "def");
}

TEST_F(ProfileWin32Test, WritesCreateWhatIsMissingAndReplaceInPlace)
{
  ASSERT_TRUE(m_profiles.WriteString("AccountData0", "ID", "player", m_file.c_str()));
  ASSERT_TRUE(m_profiles.WriteString("Conf", "OrvDir", "C:\\ゲーム", m_file.c_str()));
  EXPECT_EQ(Get("AccountData0", "ID"), "player");
  EXPECT_EQ(Get("Conf", "OrvDir"), "C:\\ゲーム");

  WriteWholeFile(m_file, "; settings\r\n[Conf]\r\nLogging=0\r\nOrvDir=old\r\nAutoStart=1\r\n"
                         "[Other]\r\nOrvDir=keep\r\n");
  ASSERT_TRUE(m_profiles.WriteString("conf", "orvdir", "new", m_file.c_str()));
  ASSERT_TRUE(m_profiles.WriteString("Conf", "Timeout", "60", m_file.c_str()));
  const std::string content = ReadWholeFile(m_file);
  // The key keeps its place and spelling; nothing else moves.
  EXPECT_EQ(content, "; settings\r\n[Conf]\r\nLogging=0\r\nOrvDir=new\r\nAutoStart=1\r\n"
                     "Timeout=60\r\n[Other]\r\nOrvDir=keep\r\n");
  EXPECT_EQ(Get("Other", "OrvDir"), "keep");
}

}  // namespace
}  // namespace orv::test::win32
