#include "KivoraPages.h"

#include <iconv.h>

#include <random>

#include "webform/WebForm.h"

namespace demo {

namespace {

constexpr const char* kLoginNameField =
    "ctl00$ctl00$MainContent$TopContent$loginNameControl$txtLoginName";
constexpr const char* kPasswordField =
    "ctl00$ctl00$MainContent$TopContent$passwordControl$txtPassword";
constexpr const char* kCookieName = "sso";

std::string RandomText(std::size_t length, const char* alphabet)
{
  static std::mutex lock;
  static std::random_device seed;
  static std::mt19937_64 generator(seed());
  const std::string letters = alphabet;
  std::uniform_int_distribution<std::size_t> pick(0, letters.size() - 1);
  std::lock_guard<std::mutex> guard(lock);
  std::string text;
  for (std::size_t i = 0; i < length; ++i)
    text += letters[pick(generator)];
  return text;
}

// A session id as the member site writes them: 36 characters, 8-4-4-4-12.
std::string NewSiid()
{
  std::string siid = RandomText(32, "0123456789abcdef");
  for (const std::size_t at : {8, 13, 18, 23})
    siid.insert(at, 1, '-');
  return siid;
}

// Japanese texts of the pages, converted from this file's UTF-8 once.
std::string Sjis(const std::string& utf8)
{
  std::string sjis;
  return ToShiftJis(utf8, sjis) ? sjis : utf8;
}

std::string HtmlPage(const std::string& title, const std::string& body)
{
  return "<html><head><meta charset=\"Shift_JIS\"><title>" + title + "</title></head><body>" +
         body + "</body></html>\r\n";
}

}  // namespace

bool ToShiftJis(const std::string& utf8, std::string& sjis)
{
  iconv_t converter = iconv_open("CP932", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1))
    return false;
  std::string out(utf8.size() * 2 + 1, '\0');
  char* in = const_cast<char*>(utf8.data());
  std::size_t inLeft = utf8.size();
  char* outAt = out.data();
  std::size_t outLeft = out.size();
  const bool ok = iconv(converter, &in, &inLeft, &outAt, &outLeft) != static_cast<std::size_t>(-1);
  iconv_close(converter);
  if (!ok)
    return false;
  out.resize(out.size() - outLeft);
  sjis = std::move(out);
  return true;
}

KivoraPages::KivoraPages(DemoAccount account) : m_account(std::move(account))
{
  for (std::size_t i = 0; i < m_account.orvIds.size(); ++i)
    m_siids.push_back(NewSiid());
}

Page KivoraPages::PortalLogin(const std::string& host) const
{
  // The portal knows no demo account: it sends the browser to its error page.
  const std::string name = host.substr(0, host.rfind(':') == std::string::npos ? host.size()
                                                                                : host.rfind(':'));
  const std::string errorPage = "http://" + name + "/err_authorize.html";
  return {200,
          HtmlPage("Kivora Games",
                   "<meta http-equiv=\"refresh\" content=\"0;URL=" + errorPage + "\">" +
                       Sjis("認証できませんでした。")),
          {}};
}

Page KivoraPages::MemberLogin(const std::string& formBody)
{
  if (webform::FormField(formBody, kLoginNameField) != m_account.kivoraId ||
      webform::FormField(formBody, kPasswordField) != m_account.password) {
    return {200,
            HtmlPage("Kivora", Sjis("KivoraIDとパスワードを入力してください。")),
            {}};
  }
  const std::string token = RandomText(32, "0123456789abcdefghijklmnopqrstuvwxyz");
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_tokens.push_back(token);
  }
  return {200, HtmlPage("Kivora", Sjis("ようこそ")),
          std::string(kCookieName) + "=" + token + "; Path=/; Secure; HttpOnly"};
}

bool KivoraPages::SignedOn(const std::string& cookieHeader) const
{
  const std::string prefix = std::string(kCookieName) + "=";
  std::size_t at = 0;
  while (at < cookieHeader.size()) {
    std::size_t end = cookieHeader.find(';', at);
    if (end == std::string::npos)
      end = cookieHeader.size();
    std::string pair = cookieHeader.substr(at, end - at);
    pair.erase(0, pair.find_first_not_of(' '));
    if (pair.compare(0, prefix.size(), prefix) == 0) {
      std::lock_guard<std::mutex> guard(m_lock);
      for (const std::string& token : m_tokens)
        if (pair.substr(prefix.size()) == token)
          return true;
    }
    at = end + 1;
  }
  return false;
}

Page KivoraPages::CentrePage(const std::string& cookieHeader) const
{
  if (!SignedOn(cookieHeader))
    return {200, HtmlPage("Kivora", Sjis("ログインしてください。")), {}};
  std::string rows;
  for (std::size_t i = 0; i < m_account.orvIds.size(); ++i)
    rows += "<tr><td><span class=\"details01\">" + m_account.orvIds[i] +
            "</span></td><td><a href=\"/front/member/payment/select.aspx?SIID=" + m_siids[i] +
            "\">" + Sjis("お支払い") + "</a></td></tr>\r\n";
  return {200, HtmlPage("Attraction Center", "<table>\r\n" + rows + "</table>"), {}};
}

Page KivoraPages::MenuPage(const std::string& cookieHeader, const std::string& siid,
                           std::string& printed)
{
  if (!SignedOn(cookieHeader))
    return {200, HtmlPage("Kivora", Sjis("ログインしてください。")), {}};
  for (std::size_t i = 0; i < m_siids.size(); ++i) {
    if (m_siids[i] != siid)
      continue;
    const std::string password =
        RandomText(40, "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    printed = "one-time password " + password + " for SIID " + siid;
    return {200,
            HtmlPage("ORV", "<a href=\"javascript:WebGameLaunch('orv', '" + siid + "', '" +
                                password + "', 'ja');\">" + Sjis("ゲームスタート") + "</a>"),
            {}};
  }
  return {404, HtmlPage("ORV", Sjis("ページが見つかりません。")), {}};
}

}  // namespace demo
