#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/CGlobal.h"
#include "app/LauncherApp.h"
#include "platform/ControlIds.h"
#include "support/FrameFixture.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;

// The shared state of a started launcher, with the recording window as its
// main window.
class LogTest : public FrameFixture {
 protected:
  void SetUp() override { global = &StartLauncher(); }

  CGlobal* global = nullptr;
};

// --- WriteProcessLog and WriteStatus ---

TEST_F(LogTest, LogFileIsWrittenOnlyWhenLoggingIsExactlyOne)
{
  for (int logging : {0, 2, -1}) {
    global->Logging = logging;
    global->WriteProcessLog("line %d", logging);
    global->WriteStatus("status %d", logging);
  }
  EXPECT_FALSE(fs::exists(LogFile()));

  global->Logging = 1;
  global->WriteProcessLog("サーバーログイン");
  global->WriteStatus("--> %s  %d/%d", "/orv/orvnew.ver", 2, 2);
  EXPECT_EQ(ReadFile(LogFile()), "サーバーログイン\r\n--> /orv/orvnew.ver  2/2\r\n");
}

TEST_F(LogTest, LogFileLiesInTheStartDirectoryAndIsAppendedTo)
{
  WriteFile(LogFile(), "earlier run\r\n");
  global->Logging = 1;
  {
    // Whatever changes the current directory later (a plugin may), the log
    // stays beside the settings and never lands in the game folder.
    ScopedCurrentDirectory elsewhere(global->OrvDir);
    global->WriteProcessLog("FileVer:%d", 41);
  }
  EXPECT_EQ(ReadFile(LogFile()), "earlier run\r\nFileVer:41\r\n");
  EXPECT_FALSE(fs::exists(fs::path(global->OrvDir) / "LaunchDbLog.txt"));
}

TEST_F(LogTest, ProcessLogItemsEndInCrLfAndArriveNewestFirst)
{
  global->WriteProcessLog("first");
  global->WriteProcessLog("Ver. %d/%d", 41, 42);
  global->WriteProcessLog("100%%");
  EXPECT_EQ(m_view.LogItems(),
            (std::vector<std::string>{"100%\r\n", "Ver. 41/42\r\n", "first\r\n"}));
}

TEST_F(LogTest, LongLinesAreCutTo1023BytesInTheFileAndTheList)
{
  global->Logging = 1;
  const std::string longText(2000, 'a');
  global->WriteProcessLog("%s", longText.c_str());

  const std::vector<std::string> items = m_view.LogItems();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].size(), 1025u);
  EXPECT_EQ(items[0], std::string(1023, 'a') + "\r\n");
  EXPECT_EQ(ReadFile(LogFile()), std::string(1023, 'a') + "\r\n");
}

TEST_F(LogTest, StatusLineIsReplacedNotAccumulated)
{
  global->WriteStatus("--> %s  %d/%d", "a.cab", 10, 100);
  global->WriteStatus("%sを適用", "data.dfl");
  EXPECT_EQ(m_view.Status(), "data.dflを適用");
  EXPECT_TRUE(m_view.LogItems().empty());
}

TEST_F(LogTest, WithoutAMainWindowOnlyTheFileIsWritten)
{
  global->SetMainWindow(nullptr);
  global->Logging = 1;
  global->WriteProcessLog("before the window");
  global->WriteStatus("status before the window");
  EXPECT_TRUE(m_view.LogItems().empty());
  EXPECT_EQ(m_view.Status(), "");
  EXPECT_EQ(ReadFile(LogFile()), "before the window\r\nstatus before the window\r\n");
}

TEST_F(LogTest, LinesFromManyThreadsStayWholeAndInTheSameOrderInFileAndList)
{
  global->Logging = 1;
  std::vector<std::thread> workers;
  for (int worker = 0; worker < 4; ++worker) {
    workers.emplace_back([this, worker] {
      for (int line = 0; line < 200; ++line)
        global->WriteProcessLog("worker %d line %03d %s", worker, line, std::string(100, 'x').c_str());
    });
  }
  for (std::thread& worker : workers)
    worker.join();

  std::vector<std::string> items = m_view.LogItems();
  ASSERT_EQ(items.size(), 800u);
  std::string fromList;
  for (auto item = items.rbegin(); item != items.rend(); ++item)
    fromList += *item;
  EXPECT_EQ(ReadFile(LogFile()), fromList);
}

// --- SetLauncherMode ---

TEST_F(LogTest, LauncherModeCaptionsTheMainButton)
{
  const std::pair<std::int32_t, const char*> modes[] = {
      {0, "Update"}, {1, "Login"}, {2, "GameStart"}, {3, "Force Login"}};
  for (const auto& [mode, caption] : modes) {
    global->SetLauncherMode(mode);
    EXPECT_EQ(global->launcherMode, mode);
    EXPECT_EQ(m_view.ControlText(ctl::kMainButton), caption);
  }
  EXPECT_TRUE(m_view.Messages().empty());
}

TEST_F(LogTest, InvalidLauncherModeIsStoredCaptionedErrorAndReported)
{
  for (std::int32_t mode : {7, -1}) {
    global->SetLauncherMode(mode);
    EXPECT_EQ(global->launcherMode, mode);
    EXPECT_EQ(m_view.ControlText(ctl::kMainButton), "Error");
  }
  const auto messages = m_view.Messages();
  ASSERT_EQ(messages.size(), 2u);
  for (const auto& message : messages) {
    EXPECT_EQ(message.caption, "Error");
    EXPECT_EQ(message.text, "不正なランチャモード");
  }
}

// --- Message boxes ---

TEST_F(LogTest, MessageTextsAreCutTo199Bytes)
{
  m_launcher->App()->ShowMessage("Error", "%s", std::string(500, 'm').c_str());
  m_launcher->App()->ShowError("エラー内容\n%s", "text");
  const auto messages = m_view.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].text, std::string(199, 'm'));
  EXPECT_EQ(messages[0].style, MessageStyle::Plain);
  EXPECT_EQ(messages[1].caption, "Error");
  EXPECT_EQ(messages[1].text, "エラー内容\ntext");
  EXPECT_EQ(messages[1].style, MessageStyle::Error);
}

}  // namespace
}  // namespace orv::test
