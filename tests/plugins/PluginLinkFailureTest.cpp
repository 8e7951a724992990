// A plugin the loader refuses: the process log keeps its one line, and the
// log file says below it which plugin it was and why.
#include <sstream>
#include <string>
#include <vector>

#include "app/LauncherApp.h"
#include "plugins/CPlugIn.h"
#include "support/FrameFixture.h"
#include "support/PluginFolder.h"

namespace orv::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class PluginLinkFailureTest : public FrameFixture {
 protected:
  PluginLinkFailureTest() : m_global(StartLauncher()), m_plugins(*m_launcher->Plugins())
  {
    m_global.Logging = 1;
  }

  // The log file's line after the first one equal to line; "" when none.
  std::string LineAfter(const std::string& line)
  {
    std::istringstream in(ReadFile(LogFile()));
    std::vector<std::string> lines;
    for (std::string next; std::getline(in, next);)
      lines.push_back(next.substr(0, next.find('\r')));
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
      if (lines[i] == line)
        return lines[i + 1];
    return "";
  }

  PluginFolder m_folder{m_start.path()};
  CGlobal& m_global;
  CPlugIn& m_plugins;
};

TEST_F(PluginLinkFailureTest, TheLogFileNamesThePluginAndWhyItCouldNotBeLinked)
{
  m_folder.Install("unresolved", "broken.opg");
  const std::string folder = std::string(m_global.app().startDir) + "\\Plugin\\";
  ASSERT_TRUE(m_plugins.SearchPlugIn());

  EXPECT_THAT(m_view.LogLines(),
              ElementsAre("プラグインの登録中…", "broken.opgを登録しています",
                          "プラグインのリンクに失敗しました", "broken.opgの登録に失敗しました",
                          "プラグインの登録が終わりました"));
  const std::string cause = LineAfter("プラグインのリンクに失敗しました");
  EXPECT_THAT(cause, StartsWith("  cause: " + folder + "broken.opg: "));
  EXPECT_THAT(cause, HasSubstr("undefined symbol: orv_test_function_nobody_defines"));
}

TEST_F(PluginLinkFailureTest, APathTooLongToKeepIsToldFromALibraryThatDidNotLoad)
{
  // Loadable, but its path does not fit the record that lists it.
  const std::string longName = std::string(250, 'p') + ".opg";
  m_folder.Install("plain", longName);
  ASSERT_TRUE(m_plugins.SearchPlugIn());

  EXPECT_THAT(m_view.LogLines(), ::testing::Contains("プラグインのリンクに失敗しました"));
  EXPECT_THAT(LineAfter("プラグインのリンクに失敗しました"),
              HasSubstr(longName + ": its path is longer than 255 bytes"));
}

}  // namespace
}  // namespace orv::test
