#include "support/KivoraSites.h"

namespace orv::test {

const std::string KivoraSites::kSiid1 = "11111111-2222-3333-4444-555555555555";
const std::string KivoraSites::kSiid2 = "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee";
const std::string KivoraSites::kOneTimePass = "0123456789ABCDEFGHIJ0123456789abcdefghij";

KivoraSites::KivoraSites()
{
  portal.Handle("POST", "/index.php",
                [](const HttpRequestSeen&) { return Reply(200, "<html>ようこそ</html>"); });
  member.Handle("POST", "/front/guest/login.aspx", [](const HttpRequestSeen&) {
    HttpReply reply = Reply(200, "<html>ようこそ</html>");
    reply.headers = {{"Set-Cookie", "sso=t0k3n; Path=/"}};
    return reply;
  });
  member.ServeText("/front/member/center.aspx",
                   CentreEntry("orv1", kSiid1) + CentreEntry("orv2", kSiid2));
  member.ServeText("/front/orv/iframe/menu.aspx", MenuPage(kSiid2, kOneTimePass));
}

void KivoraSites::PointAt(Deployment& deployment) const
{
  deployment.portalHost = "127.0.0.1";
  deployment.portalPort = portal.port();
  deployment.memberHost = "localhost";
  deployment.memberPort = member.port();
}

std::string KivoraSites::CentreEntry(const std::string& orvAccount, const std::string& siid)
{
  return "<tr><td><span class=\"details01\">" + orvAccount +
         "</span></td><td><a href=\"/front/member/payment/select.aspx?SIID=" + siid +
         "\">お支払い</a></td></tr>\r\n";
}

std::string KivoraSites::MenuPage(const std::string& siid, const std::string& password)
{
  return "<html><body><a href=\"javascript:WebGameLaunch('orv', '" + siid + "', '" + password +
         "', 'ja');\">ゲームスタート</a></body></html>";
}

HttpReply KivoraSites::Reply(int status, std::string body)
{
  HttpReply reply;
  reply.status = status;
  reply.body = std::move(body);
  return reply;
}

}  // namespace orv::test
