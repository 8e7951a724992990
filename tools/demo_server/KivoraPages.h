#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

// The publisher's two web sites as the demo needs them: a portal whose sign-in
// form refuses every account, and a member site that signs in one account,
// lists its ORV accounts on the centre page and hands out a fresh one-time
// password on the menu page of each. Texts are Shift_JIS, as the sites send
// them; names from the command line arrive in UTF-8 and are converted once.
namespace demo {

struct Page {
  int status = 200;
  std::string body;  // Shift_JIS
  std::string setCookie;  // a Set-Cookie value, or empty
};

struct DemoAccount {
  std::string kivoraId;  // Shift_JIS
  std::string password;  // Shift_JIS
  std::vector<std::string> orvIds;  // Shift_JIS
};

class KivoraPages {
 public:
  explicit KivoraPages(DemoAccount account);

  // host: the Host header of the request, which names the portal the way the
  // launcher addressed it.
  Page PortalLogin(const std::string& host) const;
  Page MemberLogin(const std::string& formBody);
  Page CentrePage(const std::string& cookieHeader) const;
  // printed: receives one line for the server's log when a password is issued.
  Page MenuPage(const std::string& cookieHeader, const std::string& siid, std::string& printed);

 private:
  bool SignedOn(const std::string& cookieHeader) const;

  const DemoAccount m_account;
  // One session id per ORV account, fixed for the server's life.
  std::vector<std::string> m_siids;
  mutable std::mutex m_lock;
  std::vector<std::string> m_tokens;
};

// UTF-8 to Shift_JIS; false when a character has no Shift_JIS form.
bool ToShiftJis(const std::string& utf8, std::string& sjis);

}  // namespace demo
