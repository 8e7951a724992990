#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "contracts/HttpClientContract.h"
#include "platform/ErrorCodes.h"
#include "platform/posix/HttpClientCurl.h"
#include "support/TempDir.h"

namespace orv::test {

std::uint64_t NowMs()
{
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

std::uint16_t ClosedPort()
{
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  EXPECT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), size), 0);
  EXPECT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size), 0);
  close(probe);  // nobody listens there now
  return ntohs(address.sin_port);
}

namespace {

std::unique_ptr<HttpClient> MakeCurl(const std::string& extraCaFile)
{
  return std::make_unique<posix::HttpClientCurl>(extraCaFile);
}

// The variables the system's proxy comes from; no_proxy could leave the
// host out.
std::shared_ptr<void> UseSystemProxy(const std::string& address)
{
  auto setting = std::make_shared<std::vector<std::unique_ptr<ScopedEnvironment>>>();
  setting->push_back(std::make_unique<ScopedEnvironment>("http_proxy", "http://" + address));
  for (const char* name : {"no_proxy", "NO_PROXY"})
    setting->push_back(std::make_unique<ScopedEnvironment>(name, std::nullopt));
  return setting;
}

const HttpBackend kCurl{"Curl", MakeCurl, UseSystemProxy};
INSTANTIATE_TEST_SUITE_P(Curl, HttpClientContract, ::testing::Values(kCurl), BackendName);
INSTANTIATE_TEST_SUITE_P(Curl, HttpsContract, ::testing::Values(kCurl), BackendName);

// What only the curl client can be asked.
class HttpClientCurlTest : public ::testing::Test {
 protected:
  LoopbackServer server;
  posix::HttpClientCurl curl;
  HttpClient& http = curl;
};

TEST_F(HttpClientCurlTest, ABodyTheServerStopsTakingTimesOutAfterTheSendTimeout)
{
  // A server that listens but never accepts: the kernel takes the start of
  // the body, then nothing more moves.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
  {
    Exchange post(http, ntohs(address.sin_port), "POST", "/upload");
    ASSERT_EQ(http.SetTimeout(post.internet, HttpClient::kSendTimeout, 300), 0u);
    const std::uint64_t start = NowMs();
    EXPECT_EQ(post.Send("", std::string(32 * 1024 * 1024, 'u')), err::kInternetTimeout);
    const std::uint64_t waited = NowMs() - start;
    EXPECT_GE(waited, 280u);
    EXPECT_LT(waited, 2000u);
  }
  close(listener);
}

// Under wine, WinINet ends a chunked body cut short as if it were whole,
// and takes an empty or header-flooded answer as a response.
TEST_F(HttpClientCurlTest, AChunkedBodyCutShortIsAnError)
{
  RawServer shortChunks("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n");
  Exchange chunked(http, shortChunks.port(), "GET", "/");
  ASSERT_EQ(chunked.Send(), 0u);
  char buffer[16];
  std::uint32_t read = 0;
  ASSERT_EQ(http.Read(chunked.request, buffer, sizeof buffer, read), 0u);
  EXPECT_EQ(std::string(buffer, read), "hello");
  EXPECT_EQ(http.Read(chunked.request, buffer, sizeof buffer, read),
            err::kInternetConnectionAborted);
}

TEST_F(HttpClientCurlTest, AnswersThatAreNotHttpAreInvalidResponses)
{
  std::string flood = "HTTP/1.1 200 OK\r\n";
  for (int line = 0; line < 400; ++line)
    flood += "X-Filler: " + std::string(1000, 'f') + "\r\n";
  const std::string giantLine =
      "HTTP/1.1 200 OK\r\nX-Big: " + std::string(200000, 'b') + "\r\n\r\n";
  for (const std::string& answer :
       {std::string(), std::string("no status line\r\n\r\n"), flood, giantLine}) {
    RawServer raw(answer);
    Exchange get(http, raw.port(), "GET", "/");
    EXPECT_EQ(get.Send(), err::kHttpInvalidServerResponse) << answer.substr(0, 20);
  }
}

// Under wine, WinINet follows this loop for ever.
TEST_F(HttpClientCurlTest, ARedirectLoopEndsInAnError)
{
  server.Handle("GET", "/loop", [](const HttpRequestSeen&) {
    return HttpReply{302, "", {{"Location", "/loop"}}};
  });
  Exchange loop(http, server.port(), "GET", "/loop");
  EXPECT_EQ(loop.Send(), err::kHttpRedirectFailed);
}

// WinINet closes a request with its session.
TEST_F(HttpClientCurlTest, ARequestOutlivesItsConnectionAndSession)
{
  server.ServeGenerated("/data", 3 * 1024 * 1024);
  HttpHandle internet = nullptr, connection = nullptr, request = nullptr;
  ASSERT_EQ(http.OpenInternet(internet, {HttpClient::ProxyMode::Direct, {}}), 0u);
  ASSERT_EQ(http.Connect(internet, "127.0.0.1", server.port(), connection), 0u);
  ASSERT_EQ(http.OpenRequest(connection, "GET", "/data", nullptr, 0, request), 0u);
  ASSERT_EQ(http.SendRequest(request, nullptr, 0, nullptr, 0), 0u);
  http.Close(connection);
  http.Close(internet);
  std::string buffer(3 * 1024 * 1024, '\0');
  std::uint32_t read = 0;
  EXPECT_EQ(http.Read(request, buffer.data(), static_cast<std::uint32_t>(buffer.size()), read), 0u);
  EXPECT_EQ(read, buffer.size());
  http.Close(request);
  EXPECT_EQ(http.Read(request, buffer.data(), 1, read), err::kInvalidHandle);
}

// Windows trusts an authority for the whole machine, so only here can one
// client trust it and another not.
TEST_F(HttpClientCurlTest, HttpsFailsWithAnUnknownAuthority)
{
  LoopbackServer secure(LoopbackServer::Scheme::Https);
  secure.ServeText("/secret", "for your eyes");
  Exchange untrusted(http, secure.port(), "GET", "/secret", HttpClient::kSecure);
  EXPECT_EQ(untrusted.Send(), err::kInternetInvalidCa);
  EXPECT_TRUE(secure.Requests().empty());
}

// --- Handles ---

TEST_F(HttpClientCurlTest, HandlesOfTheWrongKindOrNoneAreRefused)
{
  Exchange get(http, server.port(), "GET", "/");
  std::uint32_t value = 0;
  HttpHandle unused = nullptr;
  EXPECT_EQ(http.SetTimeout(nullptr, HttpClient::kReceiveTimeout, 1), err::kInvalidHandle);
  EXPECT_EQ(http.SetTimeout(reinterpret_cast<HttpHandle>(0x5150), HttpClient::kReceiveTimeout, 1),
            err::kInvalidHandle);
  EXPECT_EQ(http.SetTimeout(get.connection, HttpClient::kReceiveTimeout, 1),
            err::kInternetIncorrectHandleType);
  EXPECT_EQ(http.SetTimeout(get.internet, 99, 1), err::kInvalidParameter);
  EXPECT_EQ(http.Connect(get.request, "127.0.0.1", 80, unused), err::kInternetIncorrectHandleType);
  EXPECT_EQ(http.QueryNumber(get.internet, kStatus, value), err::kInternetIncorrectHandleType);
  // Nothing sent yet: there is nothing to query or read.
  EXPECT_EQ(http.QueryNumber(get.request, kStatus, value), err::kInternetIncorrectHandleState);
  char byte;
  EXPECT_EQ(http.Read(get.request, &byte, 1, value), err::kInternetIncorrectHandleState);
  EXPECT_EQ(http.QueryDataAvailable(get.request, value), err::kInternetIncorrectHandleState);
  ASSERT_EQ(get.Send(), 0u);
  EXPECT_EQ(http.QueryNumber(get.request, HttpClient::kQueryStatusCode, value),
            err::kInvalidParameter);
  http.Close(nullptr);
}

TEST_F(HttpClientCurlTest, LoopbackFolderNeverServesOutsideItsRoot)
{
  TempDir dir;
  std::filesystem::create_directory(dir / "root");
  WriteFile(dir / "root" / "list.txt", "inside");
  WriteFile(dir / "secret.txt", "outside");
  server.ServeFolder(dir / "root");
  // curl removes plain dot segments itself; encoded ones reach the server.
  for (const char* path : {"/list.txt", "/%2e%2e/secret.txt", "/missing.txt"}) {
    Exchange get(http, server.port(), "GET", path);
    ASSERT_EQ(get.Send(), 0u);
    std::string body;
    EXPECT_EQ(get.ReadBody(body), 0u);
    EXPECT_EQ(get.Number(kStatus), std::string(path) == "/list.txt" ? 200u : 404u) << path;
    EXPECT_NE(body, "outside");
  }
}

TEST_F(HttpClientCurlTest, LoopbackServerStopsPromptlyUnderAClientThatStoppedReading)
{
  auto big = std::make_unique<LoopbackServer>();
  big->ServeGenerated("/big", 256u * 1024 * 1024);
  Exchange get(http, big->port(), "GET", "/big");
  ASSERT_EQ(get.Send(), 0u);
  char buffer[1000];
  std::uint32_t read = 0;
  ASSERT_EQ(http.Read(get.request, buffer, sizeof buffer, read), 0u);
  const std::uint64_t start = NowMs();
  big.reset();
  EXPECT_LT(NowMs() - start, 500u);
  // The cut connection ends the body with an error, never as complete.
  std::string rest;
  EXPECT_NE(get.ReadBody(rest), 0u);
  EXPECT_LT(rest.size(), 256u * 1024 * 1024);
}

}  // namespace
}  // namespace orv::test
