#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace orv {

class CGlobal;
struct ConnectionContext;

// The login sequence: signs the chosen Kivora account in (the games portal
// first, the member site's own form when that fails), reads the member
// centre page for the service id of the chosen ORV account and the game menu
// page for the one-time password, and switches the launcher to GameStart.
// Cookies set by the sign-in stay in the HTTP client's store and authorise
// the later pages. The context's session must have been opened.

// On the window thread: checks the three inputs (a message box for a
// missing one) and starts the login thread on the context. onSignedIn runs
// on the login thread at its end when the one-time password was obtained.
void StartLogin(CGlobal& global, ConnectionContext& context,
                std::function<void()> onSignedIn = {});
// The login thread's whole run; the buttons are disabled while it runs.
// Returns 0; signedIn (when given) tells whether it reached GameStart.
std::uint32_t LoginThreadProc(CGlobal& global, ConnectionContext& context,
                              bool* signedIn = nullptr);

// The four exchanges; 0 or kEFail, each having logged why it failed.
std::int32_t LoginPortal(CGlobal& global, const char* kivoraId, const char* password,
                         ConnectionContext& context);
std::int32_t LoginMemberSite(CGlobal& global, const char* kivoraId, const char* password,
                             ConnectionContext& context);
std::int32_t FetchSiid(CGlobal& global, const char* orvAccountId, ConnectionContext& context);
std::int32_t FetchOneTimePass(CGlobal& global, ConnectionContext& context);

// The header lines of both login forms.
inline constexpr std::string_view kFormHeaders =
    "Accept-Language: ja\r\nAccept-Charset: Shift_JIS\r\n"
    "Content-Type: application/x-www-form-urlencoded";

// A form value as a browser sends it in a Shift_JIS form: letters, digits
// and "*-._" as they are, a blank as '+', every other byte as %XX.
std::string FormEncode(std::string_view value);

// The two form bodies, with the values encoded; x and y are the click
// position on the portal form's image button.
std::string PortalFormBody(std::string_view portalHost, std::string_view kivoraId,
                           std::string_view password, int x, int y);
std::string MemberSiteFormBody(std::string_view kivoraId, std::string_view password);

// What the pages are searched for; a value is cut where the page ends.
enum class SiidSearch { Found, NoAccount, NoLink };
SiidSearch FindSiid(std::string_view centrePage, std::string_view orvAccountId, std::string& siid);
// False when the page has no launch call with its two separators.
bool FindOneTimePass(std::string_view menuPage, std::string& oneTimePass);

}  // namespace orv
