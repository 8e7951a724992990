// What curl said about a failed request reaches the log file on the line
// after the failure's own, and never the window's process log.
#include <cerrno>
#include <clocale>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "net/HttpSession.h"
#include "support/FrameFixture.h"
#include "support/LoopbackServer.h"

namespace orv::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::vector<std::string> Lines(const std::string& text)
{
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The fixture trusts no extra authority, so the HTTPS loopback server's
// certificate comes from an authority this client does not know.
class FailureReasonTest : public FrameFixture {
 protected:
  FailureReasonTest() : m_global(StartLauncher()) { m_global.Logging = 1; }

  std::int32_t Get(std::uint16_t port, std::uint32_t flags)
  {
    HttpSession session(m_global);
    EXPECT_EQ(session.Open(10000), 0);
    EXPECT_EQ(session.Connect("127.0.0.1", port), 0);
    EXPECT_EQ(session.OpenRequest("GET", "/", nullptr, flags), 0);
    return session.SendRequest(nullptr, 0, nullptr, 0);
  }

  CGlobal& m_global;
};

TEST_F(FailureReasonTest, ARefusedConnectionAndAnUnknownAuthorityAreToldApartInTheLogFile)
{
  std::uint16_t closedPort = 0;
  {
    LoopbackServer gone;
    closedPort = gone.port();
  }
  LoopbackServer secure(LoopbackServer::Scheme::Https);
  secure.ServeText("/", "never sent");

  EXPECT_NE(Get(closedPort, 0), 0);
  EXPECT_NE(Get(secure.port(), HttpClient::kSecure), 0);

  // The window shows the lines as they always were, and nothing more.
  EXPECT_THAT(m_view.LogLines(), ElementsAre("SendRequest Err:[12029]", "SendRequest Err:[12045]"));
  const std::vector<std::string> file = Lines(ReadFile(LogFile()));
  ASSERT_EQ(file.size(), 4u) << ReadFile(LogFile());
  EXPECT_EQ(file[0], "SendRequest Err:[12029]");
  EXPECT_THAT(file[1], StartsWith("  cause: curl error 7 "));
  EXPECT_THAT(file[1], HasSubstr("Connection refused"));
  EXPECT_EQ(file[2], "SendRequest Err:[12045]");
  EXPECT_THAT(file[3], StartsWith("  cause: curl error 60 "));
  EXPECT_THAT(file[3], HasSubstr("certificate"));
}

TEST_F(FailureReasonTest, TheSystemsWordsInAJapaneseLocaleReachTheLogFileInShiftJis)
{
  // The system's messages in the locale of a Japanese desktop.
  const std::string messages = std::setlocale(LC_MESSAGES, nullptr);
  const std::string characters = std::setlocale(LC_CTYPE, nullptr);
  if (!std::setlocale(LC_MESSAGES, "ja_JP.UTF-8") || !std::setlocale(LC_CTYPE, "ja_JP.UTF-8"))
    GTEST_SKIP() << "no ja_JP.UTF-8 locale here";
  const bool japanese = static_cast<unsigned char>(std::strerror(ECONNREFUSED)[0]) >= 0x80;
  std::uint16_t closedPort = 0;
  {
    LoopbackServer gone;
    closedPort = gone.port();
  }
  EXPECT_NE(Get(closedPort, 0), 0);
  std::setlocale(LC_MESSAGES, messages.c_str());
  std::setlocale(LC_CTYPE, characters.c_str());
  if (!japanese)
    GTEST_SKIP() << "the system's messages are not translated here";
  // Written as UTF-8 it broke every reader of the Shift_JIS file.
  EXPECT_THAT(ReadFile(LogFile()), HasSubstr("接続を拒否されました"));
}

TEST_F(FailureReasonTest, WithoutLoggingNoFileIsWritten)
{
  m_global.Logging = 0;
  LoopbackServer secure(LoopbackServer::Scheme::Https);
  EXPECT_NE(Get(secure.port(), HttpClient::kSecure), 0);
  EXPECT_THAT(m_view.LogLines(), ElementsAre("SendRequest Err:[12045]"));
  EXPECT_FALSE(std::filesystem::exists(LogFile()));
}

}  // namespace
}  // namespace orv::test
