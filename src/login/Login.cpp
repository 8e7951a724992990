#include "login/Login.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/CGlobal.h"
#include "app/LauncherApp.h"
#include "app/LauncherMode.h"
#include "app/Status.h"
#include "net/ConnectionContext.h"
#include "net/Download.h"
#include "platform/ControlIds.h"

namespace orv {

namespace {

// Only the first piece of a login response is examined, and the pages are
// read in pieces of this size.
constexpr std::uint32_t kReadPiece = 5000;
// The inputs are read as the window's 256-byte fields would hold them.
constexpr std::size_t kLongestInput = 255;
constexpr std::size_t kSiidLength = 36;
constexpr std::size_t kOneTimePassLength = 40;

constexpr const char* kMemberFormTemplate =
    "__LASTFOCUS=&__EVENTTARGET=&__EVENTARGUMENT=&__VIEWSTATE=/wEPDwUKMTUzMjczNzkzMWQYAQUeX19Db250cm9s"
    "c1JlcXVpcmVQb3N0QmFja0tleV9fFgIFK2N0bDAwJGN0bDAwJE1haW5Db250ZW50JFRvcENvbnRlbnQkaWJ0TmV4dDEFK2N0"
    "bDAwJGN0bDAwJE1haW5Db250ZW50JFRvcENvbnRlbnQkaWJ0TmV4dDI=&ctl00$ctl00$MainContent$TopContent$"
    "loginNameControl$txtLoginName=%s&ctl00$ctl00$MainContent$TopContent$passwordControl$"
    "txtPassword=%s&ctl00$ctl00$MainContent$TopContent$ibtNext1.x=0&ctl00$ctl00$MainContent$"
    "TopContent$ibtNext1.y=0";

constexpr const char* kPaymentLinkMarker = "<a href=\"/front/member/payment/select.aspx?SIID=";
constexpr std::string_view kLaunchCall = "WebGameLaunch";
constexpr std::string_view kArgumentSeparator = "', '";
constexpr const char* kRefused = "ログインに失敗しました KivoraIDかパスワードが間違っています";

// The buttons a running login keeps the user from pressing, in the order
// they are disabled and enabled again.
constexpr int kLockedButtons[] = {ctl::kMainButton, ctl::kOptionButton, ctl::kExitButton,
                                  ctl::kWebPageButton};

void EnableButtons(CGlobal& global, bool enabled)
{
  if (View* window = global.MainWindow())
    for (int id : kLockedButtons)
      window->EnableControl(id, enabled);
}

std::string ReadInput(CGlobal& global, int controlId)
{
  View* window = global.MainWindow();
  std::string text = window ? window->GetControlText(controlId) : std::string();
  if (text.size() > kLongestInput)
    text.resize(kLongestInput);
  return text;
}

std::string Format(const char* format, std::string_view a, std::string_view b)
{
  std::string out;
  for (const char* p = format; *p; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      out += a;
      a = b;
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

// Connect, open, send, status 200: the first half of every exchange. The
// caller has its own line for a failed connection.
bool OpenExchange(CGlobal& global, HttpSession& session, const char* verb, const char* path,
                  const char* referrer, std::string_view headers, std::string_view body)
{
  if (session.OpenRequest(verb, path, referrer, HttpClient::kSecure) < 0) {
    global.WriteProcessLog("リクエストの作成に失敗");
    return false;
  }
  if (session.SendRequest(headers.empty() ? nullptr : headers.data(),
                          static_cast<std::uint32_t>(headers.size()),
                          body.empty() ? nullptr : body.data(),
                          static_cast<std::uint32_t>(body.size())) < 0) {
    global.WriteProcessLog("リクエストの送信に失敗");
    return false;
  }
  std::uint32_t status = 0;
  if (session.QueryInfo(HttpClient::kQueryStatusCode | HttpClient::kQueryFlagNumber, status) < 0) {
    global.WriteProcessLog("クエリ情報の取得に失敗");
    return false;
  }
  if (status != 200) {
    global.WriteProcessLog("サーバーからエラー応答 Code:[%d]", static_cast<int>(status));
    return false;
  }
  return true;
}

// Posts a login form and looks at the first piece of the answer: the
// refusal marker means the credentials were wrong.
std::int32_t PostLoginForm(CGlobal& global, ConnectionContext& context, const std::string& host,
                           std::uint16_t port, const char* path, const std::string& body,
                           const std::string& refusalMarker)
{
  HttpSession& session = context.session;
  std::int32_t result = kEFail;
  if (session.Connect(host.c_str(), port) < 0) {
    global.WriteProcessLog("Kivoraサーバーの接続に失敗しました");
  } else if (OpenExchange(global, session, "POST", path, global.deployment().portalHost.c_str(),
                          kFormHeaders, body)) {
    std::string answer(kReadPiece, '\0');
    std::uint32_t read = 0;
    if (session.InetReadFile(answer.data(), kReadPiece, read) >= 0) {
      answer.resize(read);
      if (answer.find(refusalMarker) != std::string::npos)
        global.WriteProcessLog("%s", kRefused);
      else
        result = kOk;
    }
  }
  session.CloseExchange();
  return result;
}

// Reads a page to its end in pieces. A page may not grow past `limit`
// bytes: a server announcing or sending more than a page can hold gets the
// size error instead of the launcher's memory.
enum class PageRead { Complete, Failed, TooLong };
PageRead ReadPage(HttpSession& session, std::uint32_t limit, std::string& page)
{
  page.clear();
  std::string piece(kReadPiece, '\0');
  for (;;) {
    std::uint32_t read = 0;
    if (session.InetReadFile(piece.data(), kReadPiece, read) < 0)
      return PageRead::Failed;
    if (read == 0)
      return PageRead::Complete;
    if (read > limit - page.size())
      return PageRead::TooLong;
    page.append(piece.data(), read);
  }
}

}  // namespace

std::string FormEncode(std::string_view value)
{
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : value) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= '0' && byte <= '9') || byte == '*' || byte == '-' || byte == '.' || byte == '_') {
      out += c;
    } else if (byte == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

std::string PortalFormBody(std::string_view portalHost, std::string_view kivoraId,
                           std::string_view password, int x, int y)
{
  std::string body = "login_url=http://";
  body += portalHost;
  body += "/";
  body += Format("&f_login_submit=1&module=Auth&action=Login&user_id=%s&password=%s",
                 FormEncode(kivoraId), FormEncode(password));
  body += "&x=" + std::to_string(x) + "&y=" + std::to_string(y);
  return body;
}

std::string MemberSiteFormBody(std::string_view kivoraId, std::string_view password)
{
  return Format(kMemberFormTemplate, FormEncode(kivoraId), FormEncode(password));
}

SiidSearch FindSiid(std::string_view centrePage, std::string_view orvAccountId, std::string& siid)
{
  // The closing tag is part of the search, so an id that begins another
  // listed id finds only its own entry.
  const std::string entry = Format("<span class=\"details01\">%s</span>", orvAccountId, {});
  const std::size_t entryAt = centrePage.find(entry);
  if (entryAt == std::string_view::npos)
    return SiidSearch::NoAccount;
  const std::string_view marker = kPaymentLinkMarker;
  const std::size_t linkAt = centrePage.find(marker, entryAt);
  if (linkAt == std::string_view::npos)
    return SiidSearch::NoLink;
  siid = std::string(centrePage.substr(linkAt + marker.size(), kSiidLength));
  return SiidSearch::Found;
}

bool FindOneTimePass(std::string_view menuPage, std::string& oneTimePass)
{
  // The call is WebGameLaunch('…', '…', '<password>…'): the password follows
  // the second separator. The second search starts 13 bytes past the first
  // separator, as it always has; a page without both separators holds no
  // password, and nothing is read from anywhere else.
  const std::size_t call = menuPage.find(kLaunchCall);
  if (call == std::string_view::npos)
    return false;
  const std::size_t first = menuPage.find(kArgumentSeparator, call + kLaunchCall.size());
  if (first == std::string_view::npos)
    return false;
  const std::size_t second = menuPage.find(kArgumentSeparator, first + kLaunchCall.size());
  if (second == std::string_view::npos)
    return false;
  oneTimePass =
      std::string(menuPage.substr(second + kArgumentSeparator.size(), kOneTimePassLength));
  return true;
}

void StartLogin(CGlobal& global, ConnectionContext& context, std::function<void()> onSignedIn)
{
  LauncherApp& app = global.app();
  if (ReadInput(global, ctl::kOrvAccountCombo).empty()) {
    app.ShowMessage("Error", "ORV アトラクションIDが入力されていません");
    return;
  }
  if (ReadInput(global, ctl::kKivoraIdCombo).empty()) {
    app.ShowMessage("Error", "KivoraIDが入力されていません");
    return;
  }
  if (ReadInput(global, ctl::kPasswordEdit).empty()) {
    app.ShowMessage("Error", "KivoraPassが入力されていません");
    return;
  }
  const bool started = context.workerThread.Start(global, [&global, &context, onSignedIn] {
    bool signedIn = false;
    LoginThreadProc(global, context, &signedIn);
    if (signedIn && onSignedIn)
      onSignedIn();
  });
  if (!started)
    app.ShowMessage("Error", "Loginスレッドの起動に失敗しました");
}

std::uint32_t LoginThreadProc(CGlobal& global, ConnectionContext& context, bool* signedIn)
{
  if (signedIn)
    *signedIn = false;
  EnableButtons(global, false);
  const std::string orvAccountId = ReadInput(global, ctl::kOrvAccountCombo);
  const std::string kivoraId = ReadInput(global, ctl::kKivoraIdCombo);
  const std::string password = ReadInput(global, ctl::kPasswordEdit);

  global.WriteProcessLog("サーバーログイン");
  bool loggedIn = LoginPortal(global, kivoraId.c_str(), password.c_str(), context) >= 0;
  if (!loggedIn) {
    global.WriteProcessLog("KivoraGamesからのログインに失敗");
    global.WriteProcessLog("アトラクションセンターからのログイン");
    loggedIn = LoginMemberSite(global, kivoraId.c_str(), password.c_str(), context) >= 0;
  }
  if (loggedIn) {
    global.WriteProcessLog("サーバーへのログイン成功");
    global.WriteProcessLog("SIIDの取得");
    if (FetchSiid(global, orvAccountId.c_str(), context) >= 0) {
      global.WriteProcessLog("ワンタイムパスの取得");
      if (FetchOneTimePass(global, context) >= 0) {
        global.WriteProcessLog("OneTime:%s", global.oneTimePass);
        global.SetLauncherMode(kGameStart);
        if (signedIn)
          *signedIn = true;
      }
    }
  }
  EnableButtons(global, true);
  return 0;
}

std::int32_t LoginPortal(CGlobal& global, const char* kivoraId, const char* password,
                         ConnectionContext& context)
{
  const Deployment& servers = global.deployment();
  // The click position on the form's image button, from the runtime's
  // generator, which the launcher never seeds: x first.
  const int x = std::rand() % 70;
  const int y = std::rand() % 10;
  const std::string body = PortalFormBody(servers.portalHost, kivoraId, password, x, y);
  const std::string errorPage = "http://" + servers.portalHost + "/err_authorize.html";
  return PostLoginForm(global, context, servers.portalHost, servers.portalPort, "index.php", body,
                       errorPage);
}

std::int32_t LoginMemberSite(CGlobal& global, const char* kivoraId, const char* password,
                             ConnectionContext& context)
{
  const Deployment& servers = global.deployment();
  return PostLoginForm(global, context, servers.memberHost, servers.memberPort,
                       "/front/guest/login.aspx", MemberSiteFormBody(kivoraId, password),
                       "入力してください");
}

std::int32_t FetchSiid(CGlobal& global, const char* orvAccountId, ConnectionContext& context)
{
  const Deployment& servers = global.deployment();
  HttpSession& session = context.session;
  std::int32_t result = kEFail;
  // A failed connection shows in the request step that follows.
  session.Connect(servers.memberHost.c_str(), servers.memberPort);
  std::uint32_t length = 0;
  std::string page;
  if (!OpenExchange(global, session, "GET", "front/member/center.aspx", servers.memberHost.c_str(),
                    {}, {})) {
  } else if (session.QueryInfo(HttpClient::kQueryContentLength | HttpClient::kQueryFlagNumber,
                               length) < 0) {
    global.WriteProcessLog("ダウンロードクエリ情報の取得に失敗 Err:[%d]",
                           static_cast<int>(session.LastError()));
  } else if (length == 0 || length > kMemoryDownloadLimit) {
    global.WriteProcessLog("ダウンロードサイズエラー");
  } else {
    // The page is held to the length the server announced.
    const PageRead outcome = ReadPage(session, length, page);
    std::string siid;
    if (outcome == PageRead::TooLong) {
      global.WriteProcessLog("ダウンロードサイズエラー");
    } else if (outcome == PageRead::Complete) {
      switch (FindSiid(page, orvAccountId, siid)) {
        case SiidSearch::NoAccount:
          global.WriteProcessLog("アトラクションIDが不正です");
          break;
        case SiidSearch::NoLink:
          global.WriteProcessLog("SIIDが見つかりませんでした");
          break;
        case SiidSearch::Found:
          CopyText(global.siid, siid);
          global.WriteProcessLog("SIID:%s", global.siid);
          result = kOk;
          break;
      }
    }
  }
  session.CloseExchange();
  return result;
}

std::int32_t FetchOneTimePass(CGlobal& global, ConnectionContext& context)
{
  const Deployment& servers = global.deployment();
  HttpSession& session = context.session;
  std::int32_t result = kEFail;
  session.Connect(servers.memberHost.c_str(), servers.memberPort);
  const std::string path = std::string("/front/orv/iframe/menu.aspx?SIID=") + global.siid;
  std::string page;
  if (OpenExchange(global, session, "GET", path.c_str(), servers.memberHost.c_str(), {}, {})) {
    std::string password;
    switch (ReadPage(session, kMemoryDownloadLimit, page)) {
      case PageRead::Failed:
        global.WriteProcessLog("InetReadFile Err:[%d]", static_cast<int>(session.LastError()));
        break;
      case PageRead::TooLong:
        global.WriteProcessLog("ダウンロードサイズエラー");
        break;
      case PageRead::Complete:
        if (!FindOneTimePass(page, password)) {
          global.WriteProcessLog("ワンタイムパスが見つかりませんでした");
        } else {
          CopyText(global.oneTimePass, password);
          result = kOk;
        }
        break;
    }
  }
  session.CloseExchange();
  return result;
}

}  // namespace orv
