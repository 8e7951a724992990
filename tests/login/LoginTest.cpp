// The login sequence against real HTTPS loopback servers standing in for the
// games portal and the member site.
#include <regex>

#include "app/LauncherMode.h"
#include "login/Login.h"
#include "net/ConnectionContext.h"
#include "platform/ControlIds.h"
#include "support/FrameFixture.h"
#include "support/KivoraSites.h"
#include "webform/WebForm.h"

namespace orv::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const std::string& kSiid1 = KivoraSites::kSiid1;
const std::string& kSiid2 = KivoraSites::kSiid2;
const std::string& kOneTimePass = KivoraSites::kOneTimePass;
const char* const kRefused = "ログインに失敗しました KivoraIDかパスワードが間違っています";
using Sites = KivoraSites;

std::string CentreEntry(const std::string& a, const std::string& s) { return Sites::CentreEntry(a, s); }
std::string MenuPage(const std::string& s, const std::string& p) { return Sites::MenuPage(s, p); }
HttpReply Reply(int status, std::string body) { return Sites::Reply(status, std::move(body)); }

using webform::FormField;

class LoginTest : public FrameFixture {
 protected:
  LoginTest() : FrameFixture(LoopbackServer::AuthorityFile())
  {
    m_sites.PointAt(m_deployment);
    CGlobal& global = StartLauncher();
    global.SetLauncherMode(kLogin);
    m_context = std::make_unique<ConnectionContext>(global);
    m_context->session.Open(10000);

    Type("orv2", "kivora-user", "secret");
  }

  void Type(const std::string& orvAccount, const std::string& kivoraId,
            const std::string& password)
  {
    m_view.SetControlText(ctl::kOrvAccountCombo, orvAccount.c_str());
    m_view.SetControlText(ctl::kKivoraIdCombo, kivoraId.c_str());
    m_view.SetControlText(ctl::kPasswordEdit, password.c_str());
  }
  CGlobal& Global() { return *m_launcher->Global(); }
  void Run() { EXPECT_EQ(LoginThreadProc(Global(), *m_context), 0u); }
  // The lines after the first, which is always "サーバーログイン".
  std::vector<std::string> LinesAfterStart() const
  {
    std::vector<std::string> lines = m_view.LogLines();
    EXPECT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "サーバーログイン");
    return {lines.begin() + 1, lines.end()};
  }
  const HttpRequestSeen* Request(const LoopbackServer& server, const std::string& path) const
  {
    for (const HttpRequestSeen& seen : server.Requests())
      if (seen.path == path)
        m_seen = seen;
    return m_seen.path == path ? &m_seen : nullptr;
  }
  // The same request by value; one the server never saw fails the test
  // instead of crashing the whole program.
  HttpRequestSeen Last(const LoopbackServer& server, const std::string& path) const
  {
    if (const HttpRequestSeen* seen = Request(server, path))
      return *seen;
    ADD_FAILURE() << "the server saw no request for " << path;
    return {};
  }

  KivoraSites m_sites;
  LoopbackServer& m_portal = m_sites.portal;
  LoopbackServer& m_member = m_sites.member;
  std::unique_ptr<ConnectionContext> m_context;
  mutable HttpRequestSeen m_seen;
};

TEST_F(LoginTest, ThePortalSignsInAndTheChosenAccountsPasswordIsFetched)
{
  Run();

  EXPECT_THAT(LinesAfterStart(),
              ElementsAre("サーバーへのログイン成功", "SIIDの取得", "SIID:" + kSiid2,
                          "ワンタイムパスの取得", "OneTime:" + kOneTimePass));
  EXPECT_EQ(Global().launcherMode, kGameStart);
  EXPECT_EQ(m_view.ControlText(ctl::kMainButton), "GameStart");
  EXPECT_STREQ(Global().siid, kSiid2.c_str());
  EXPECT_STREQ(Global().oneTimePass, kOneTimePass.c_str());
  EXPECT_THAT(m_view.EnableCalls(),
              ElementsAre(-ctl::kMainButton, -ctl::kOptionButton, -ctl::kExitButton,
                          -ctl::kWebPageButton, ctl::kMainButton, ctl::kOptionButton,
                          ctl::kExitButton, ctl::kWebPageButton));

  const HttpRequestSeen* portal = Request(m_portal, "/index.php");
  ASSERT_NE(portal, nullptr);
  EXPECT_EQ(portal->Header("Referer"), "127.0.0.1");
  EXPECT_EQ(portal->Header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(portal->Header("Accept-Language"), "ja");
  EXPECT_EQ(portal->Header("Accept-Charset"), "Shift_JIS");
  EXPECT_TRUE(std::regex_match(
      portal->body, std::regex("login_url=http://127\\.0\\.0\\.1/&f_login_submit=1&module=Auth&"
                               "action=Login&user_id=kivora-user&password=secret&"
                               "x=([0-9]|[1-6][0-9])&y=[0-9]")))
      << portal->body;
  EXPECT_EQ(Last(m_member, "/front/member/center.aspx").Header("Referer"), "localhost");
  EXPECT_EQ(Last(m_member, "/front/orv/iframe/menu.aspx").query, "SIID=" + kSiid2);
  EXPECT_EQ(Request(m_member, "/front/guest/login.aspx"), nullptr);
}

TEST_F(LoginTest, APortalRefusalFallsBackToTheMemberSiteWhoseCookieOpensTheCentrePage)
{
  m_portal.Handle("POST", "/index.php", [](const HttpRequestSeen&) {
    return Reply(200, "<meta http-equiv=\"refresh\" "
                          "content=\"0;URL=http://127.0.0.1/err_authorize.html\">");
  });
  Run();

  EXPECT_THAT(LinesAfterStart(),
              ElementsAre(kRefused, "KivoraGamesからのログインに失敗",
                          "アトラクションセンターからのログイン", "サーバーへのログイン成功",
                          "SIIDの取得", "SIID:" + kSiid2, "ワンタイムパスの取得",
                          "OneTime:" + kOneTimePass));
  const HttpRequestSeen* login = Request(m_member, "/front/guest/login.aspx");
  ASSERT_NE(login, nullptr);
  EXPECT_EQ(login->Header("Referer"), "127.0.0.1");
  EXPECT_EQ(login->body, MemberSiteFormBody("kivora-user", "secret"));
  EXPECT_EQ(login->body.size(), 479u - 4 + 11 + 6);
  EXPECT_EQ(Last(m_member, "/front/member/center.aspx").Header("Cookie"), "sso=t0k3n");
}

TEST_F(LoginTest, AnErrorStatusFromThePortalAlsoFallsBack)
{
  m_portal.Handle("POST", "/index.php", [](const HttpRequestSeen&) {
    return Reply(503, "busy");
  });
  Run();
  const std::vector<std::string> lines = LinesAfterStart();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_THAT(std::vector<std::string>(lines.begin(), lines.begin() + 3),
              ElementsAre("サーバーからエラー応答 Code:[503]", "KivoraGamesからのログインに失敗",
                          "アトラクションセンターからのログイン"));
  EXPECT_EQ(Global().launcherMode, kGameStart);
}

TEST_F(LoginTest, AMemberSiteRefusalEndsTheRunWithTheButtonsBack)
{
  m_portal.Handle("POST", "/index.php", [](const HttpRequestSeen&) {
    return Reply(500, "");
  });
  m_member.Handle("POST", "/front/guest/login.aspx", [](const HttpRequestSeen&) {
    return Reply(200, "<p>IDを入力してください</p>");
  });
  Run();

  EXPECT_THAT(LinesAfterStart(),
              ElementsAre("サーバーからエラー応答 Code:[500]", "KivoraGamesからのログインに失敗",
                          "アトラクションセンターからのログイン", kRefused));
  EXPECT_EQ(Global().launcherMode, kLogin);
  EXPECT_EQ(m_view.ControlText(ctl::kMainButton), "Login");
  EXPECT_EQ(m_view.Enabled().at(ctl::kMainButton), true);
  EXPECT_EQ(m_view.Enabled().at(ctl::kWebPageButton), true);
  EXPECT_EQ(Request(m_member, "/front/member/center.aspx"), nullptr);
}

TEST_F(LoginTest, PagesThatDoNotHoldTheAccountOrThePasswordEndTheRun)
{
  struct Case {
    std::string centre, menu, lastLine;
  } cases[] = {
      {CentreEntry("orv1", kSiid1), MenuPage(kSiid2, kOneTimePass), "アトラクションIDが不正です"},
      // The link of the entry before does not count.
      {CentreEntry("orv1", kSiid1) + "<span class=\"details01\">orv2</span>",
       MenuPage(kSiid2, kOneTimePass), "SIIDが見つかりませんでした"},
      {CentreEntry("orv2", kSiid2), "<html>メンテナンス中</html>",
       "ワンタイムパスが見つかりませんでした"},
      // The call without its separators.
      {CentreEntry("orv2", kSiid2), "WebGameLaunch('orv');", "ワンタイムパスが見つかりませんでした"},
  };
  for (const Case& c : cases) {
    m_member.ServeText("/front/member/center.aspx", c.centre);
    m_member.ServeText("/front/orv/iframe/menu.aspx", c.menu);
    Global().SetLauncherMode(kLogin);
    Global().oneTimePass[0] = '\0';
    Run();
    EXPECT_EQ(m_view.LastLogLine(), c.lastLine);
    EXPECT_EQ(Global().launcherMode, kLogin) << c.lastLine;
    EXPECT_STREQ(Global().oneTimePass, "");
  }
}

TEST_F(LoginTest, ASiteWhoseCertificateNamesAnotherHostNeverSeesTheForm)
{
  // A trusted authority's certificate for another name: the sign-in must
  // refuse it, or any server holding such a certificate gets the password.
  LoopbackServer impostor(LoopbackServer::Scheme::HttpsForAnotherName);
  m_deployment.portalPort = impostor.port();
  CGlobal& global = StartLauncher();
  ConnectionContext context(global);
  ASSERT_EQ(context.session.Open(10000), 0);
  EXPECT_LT(LoginPortal(global, "kivora-user", "secret", context), 0);
  // Refused in the handshake (WinINet names the fault 12038, curl 12045).
  ASSERT_EQ(m_view.LogLines().size(), 2u);
  EXPECT_EQ(m_view.LogLines()[0].rfind("SendRequest Err:[120", 0), 0u) << m_view.LogLines()[0];
  EXPECT_EQ(m_view.LogLines()[1], "リクエストの送信に失敗");
  EXPECT_TRUE(impostor.Requests().empty());
}

TEST_F(LoginTest, LongInputsAndSpecialCharactersArriveWhole)
{
  // 255 bytes each, with every character a form treats specially and
  // Shift_JIS characters whose second byte is '\'.
  const std::string head = "a&b=c+d%e f表示ソ";
  const std::string password = head + std::string(255 - head.size(), 'p');
  const std::string kivoraId = std::string(255, 'k');
  const std::string orvAccount = std::string(254, 'o') + "x";
  ASSERT_EQ(password.size(), 255u);
  m_member.ServeText("/front/member/center.aspx",
                     CentreEntry(std::string(254, 'o'), kSiid1) + CentreEntry(orvAccount, kSiid2));
  m_portal.Handle("POST", "/index.php", [](const HttpRequestSeen&) {
    return Reply(200, "http://127.0.0.1/err_authorize.html");
  });
  Type(orvAccount + "cut", kivoraId + "cut", password + "cut");
  Run();

  EXPECT_EQ(FormField(Last(m_portal, "/index.php").body, "user_id"), kivoraId);
  EXPECT_EQ(FormField(Last(m_portal, "/index.php").body, "password"), password);
  const std::string member = Last(m_member, "/front/guest/login.aspx").body;
  EXPECT_EQ(FormField(member, "ctl00$ctl00$MainContent$TopContent$loginNameControl$txtLoginName"),
            kivoraId);
  EXPECT_EQ(FormField(member, "ctl00$ctl00$MainContent$TopContent$passwordControl$txtPassword"),
            password);
  EXPECT_STREQ(Global().siid, kSiid2.c_str());
  EXPECT_EQ(Global().launcherMode, kGameStart);
}

TEST_F(LoginTest, StartLoginChecksTheInputsThenRunsOnItsOwnThread)
{
  const struct {
    const char* orvAccount;
    const char* kivoraId;
    const char* password;
    const char* message;
  } missing[] = {
      {"", "id", "pw", "ORV アトラクションIDが入力されていません"},
      {"orv2", "", "pw", "KivoraIDが入力されていません"},
      {"orv2", "id", "", "KivoraPassが入力されていません"},
  };
  for (const auto& m : missing) {
    Type(m.orvAccount, m.kivoraId, m.password);
    StartLogin(Global(), *m_context);
    EXPECT_EQ(m_view.Messages().back().text, m.message);
    EXPECT_EQ(m_view.Messages().back().caption, "Error");
    EXPECT_FALSE(m_context->workerThread.Started());
  }
  EXPECT_THAT(m_view.LogLines(), IsEmpty());

  Type("orv2", "id", "pw");
  std::atomic<int> signedIn{0};
  for (int run = 0; run < 2; ++run) {
    StartLogin(Global(), *m_context, [&] { ++signedIn; });
    ASSERT_TRUE(m_context->workerThread.Started());
    m_context->workerThread.Join();
    EXPECT_EQ(Global().launcherMode, kGameStart);
    EXPECT_EQ(m_view.LastLogLine(), "OneTime:" + kOneTimePass);
  }
  EXPECT_EQ(signedIn, 2);
  // A refused sign-in does not count.
  m_member.ServeText("/front/orv/iframe/menu.aspx", "<html></html>");
  StartLogin(Global(), *m_context, [&] { ++signedIn; });
  m_context->workerThread.Join();
  EXPECT_EQ(signedIn, 2);
}

TEST(FindSiid, AnIdThatBeginsAnotherFindsOnlyItsOwnEntry)
{
  const std::string page = CentreEntry("orv10", kSiid1) + CentreEntry("orv1", kSiid2);
  std::string siid;
  ASSERT_EQ(FindSiid(page, "orv1", siid), SiidSearch::Found);
  EXPECT_EQ(siid, kSiid2);
  ASSERT_EQ(FindSiid(page, "orv10", siid), SiidSearch::Found);
  EXPECT_EQ(siid, kSiid1);
  EXPECT_EQ(FindSiid(page, "orv", siid), SiidSearch::NoAccount);
}

TEST(FindOneTimePass, ThePasswordFollowsTheSecondSeparatorAndIsCutAtThePageEnd)
{
  std::string password;
  ASSERT_TRUE(FindOneTimePass(MenuPage(kSiid1, kOneTimePass), password));
  EXPECT_EQ(password, kOneTimePass);
  ASSERT_TRUE(FindOneTimePass("WebGameLaunch('orv', '" + kSiid1 + "', 'short", password));
  EXPECT_EQ(password, "short");
  EXPECT_FALSE(FindOneTimePass("WebGameLaunch('orv', '" + kSiid1 + "')", password));
  // The second search starts 13 bytes past the first separator: with a
  // service id shorter than 9 bytes it skips the separator after it.
  ASSERT_TRUE(FindOneTimePass("WebGameLaunch('orv', 'S1', 'second', '" + kOneTimePass + "')",
                              password));
  EXPECT_EQ(password, kOneTimePass);
}

}  // namespace
}  // namespace orv::test
