#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "contracts/HttpClientContract.h"
#include "platform/win32/HttpClientWinInet.h"
#include "support/SocketServerWin32.h"
#include "support/TestPlatform.h"

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
const HttpBackend kWinInet{
    "WinInet", MakeWinInet,
    "WinINet takes the receive and send time-outs but does not apply them (wine ignores them, "
    "Windows documents the receive one as not implemented)"};
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

}  // namespace
}  // namespace orv::test
