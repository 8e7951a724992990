#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "contracts/HttpClientContract.h"
#include "platform/win32/HttpClientWinInet.h"
#include "support/SocketServerWin32.h"
#include "support/TempDir.h"
#include "support/TestPlatform.h"

#include <wininet.h>

namespace orv::test {

std::uint64_t NowMs()
{
  return GetTickCount64();
}

std::uint16_t ClosedPort()
{
  winsock::WinsockUser winsock;
  std::uint16_t port = 0;
  closesocket(winsock::Listen(port));
  return port;
}

namespace {

std::unique_ptr<HttpClient> MakeWinInet(const std::string& extraCaFile)
{
  // WinINet has no authority of its own besides the system's: the extra one
  // joins the machine's store.
  if (!extraCaFile.empty())
    TrustAuthority(extraCaFile);
  return std::make_unique<orv::win32::HttpClientWinInet>();
}

// A value of the user's Internet Settings as it was, to be put back.
struct SavedValue {
  std::string name;
  std::optional<DWORD> type;
  std::vector<BYTE> data;
};

// Tells WinINet that the user's settings changed, as Internet Options does.
void AnnounceSettings()
{
  InternetSetOptionA(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
  InternetSetOptionA(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
}

// The proxy of Internet Options: the user's registry, which wine's prefix
// shares among the test programs running meanwhile. Loopback names are left
// out of it, so their requests still go straight to their servers.
std::shared_ptr<void> UseSystemProxy(const std::string& address)
{
  HKEY key = nullptr;
  if (RegCreateKeyExA(
          HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
          nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    ADD_FAILURE() << "cannot open the Internet Settings";
    return nullptr;
  }
  std::vector<SavedValue> saved;
  for (const char* name : {"ProxyEnable", "ProxyServer", "ProxyOverride"}) {
    SavedValue value{name, std::nullopt, std::vector<BYTE>(1024)};
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(value.data.size());
    if (RegQueryValueExA(key, name, nullptr, &type, value.data.data(), &size) == ERROR_SUCCESS) {
      value.type = type;
      value.data.resize(size);
    }
    saved.push_back(std::move(value));
  }
  const DWORD enabled = 1;
  const std::string bypass = "127.0.0.1;localhost;<local>";
  RegSetValueExA(key, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enabled),
                 sizeof enabled);
  RegSetValueExA(key, "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(address.c_str()),
                 static_cast<DWORD>(address.size() + 1));
  RegSetValueExA(key, "ProxyOverride", 0, REG_SZ, reinterpret_cast<const BYTE*>(bypass.c_str()),
                 static_cast<DWORD>(bypass.size() + 1));
  AnnounceSettings();
  return std::shared_ptr<void>(nullptr, [key, saved](void*) {
    for (const SavedValue& value : saved) {
      if (value.type)
        RegSetValueExA(key, value.name.c_str(), 0, *value.type, value.data.data(),
                       static_cast<DWORD>(value.data.size()));
      else
        RegDeleteValueA(key, value.name.c_str());
    }
    RegCloseKey(key);
    AnnounceSettings();
  });
}

const HttpBackend kWinInet{"WinInet", MakeWinInet, UseSystemProxy};
INSTANTIATE_TEST_SUITE_P(WinInet, HttpClientContract, ::testing::Values(kWinInet), BackendName);
INSTANTIATE_TEST_SUITE_P(WinInet, HttpsContract, ::testing::Values(kWinInet), BackendName);

// The HTTPS servers of the Windows tests stand behind a TLS front of their own.
TEST(TlsFront, PlainHttpNeverReachesTheServerBehindIt)
{
  LoopbackServer secure(LoopbackServer::Scheme::Https);
  orv::win32::HttpClientWinInet http;
  secure.ServeText("/", "secret");
  Exchange plain(http, secure.port(), "GET", "/");
  std::string body;
  if (plain.Send() == 0)
    plain.ReadBody(body);
  EXPECT_EQ(body.find("secret"), std::string::npos);
  EXPECT_TRUE(secure.Requests().empty());
}

TEST(HttpClientWinInet, NothingReadGoesToTheCache)
{
  // With the cache, a patch download was written to the disk a second time,
  // and a 206's part was filed as the whole of its address.
  TempDir folder;
  WriteFile(folder / "step.cab", GeneratedContent(0, 100000));
  LoopbackServer server;
  server.ServeFolder(folder.path());
  orv::win32::HttpClientWinInet http;
  for (const char* range : {"", "Range: bytes=1000-\r\n"}) {
    Exchange get(http, server.port(), "GET", "/step.cab");
    ASSERT_EQ(get.Send(range), 0u);
    std::string body;
    ASSERT_EQ(get.ReadBody(body), 0u);
  }
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/step.cab";
  DWORD size = 0;
  EXPECT_FALSE(GetUrlCacheEntryInfoA(url.c_str(), nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace orv::test
