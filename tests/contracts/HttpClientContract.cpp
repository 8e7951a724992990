#include "contracts/HttpClientContract.h"

#include <gmock/gmock.h>

#include <atomic>
#include <thread>

#include "platform/ErrorCodes.h"
#include "support/ForwardProxy.h"
#include "support/PluginFolder.h"
#include "support/TempDir.h"

namespace orv::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// --- Exchanges that go well ---

TEST_P(HttpClientContract, GetAnswersStatusLengthAndTheBodyInPieces)
{
  // Larger than any buffer of the clients, so the transfer waits for the reader.
  constexpr std::uint32_t kSize = 16 * 1024 * 1024 + 123;
  server.ServeGenerated("/big", kSize);
  Exchange get(http, server.port(), "GET", "/big");
  ASSERT_EQ(get.Send(), 0u);
  EXPECT_EQ(get.Number(kStatus), 200u);
  EXPECT_EQ(get.Number(kLength), kSize);

  std::string body;
  std::uint32_t largest = 0;
  ASSERT_EQ(get.ReadBody(body, 7777, &largest), 0u);
  ASSERT_EQ(body.size(), kSize);
  EXPECT_TRUE(body == GeneratedContent(0, kSize)) << "the body came out corrupted";
  // A slow reader must not make the client hold the whole body.
  EXPECT_LE(largest, 5u * 1024 * 1024);
  std::uint32_t read = 1;
  char byte;
  EXPECT_EQ(http.Read(get.request, &byte, 1, read), 0u);
  EXPECT_EQ(read, 0u);

  Exchange missing(http, server.port(), "GET", "/missing");
  ASSERT_EQ(missing.Send(), 0u);
  EXPECT_EQ(missing.Number(kStatus), 404u);
}

TEST_P(HttpClientContract, ReadWaitsForItsWholeSizeEvenBeyondTheClientsBuffer)
{
  // What went wrong without direct delivery: a read larger than the pause
  // threshold waited on a transfer that its own full buffer had paused.
  constexpr std::uint32_t kSize = 6 * 1024 * 1024 + 5;
  server.ServeGenerated("/big", kSize);
  Exchange get(http, server.port(), "GET", "/big");
  ASSERT_EQ(get.Send(), 0u);
  std::string buffer(kSize + 100, '\0');
  std::uint32_t read = 0;
  ASSERT_EQ(http.Read(get.request, buffer.data(), kSize - 5, read), 0u);
  ASSERT_EQ(read, kSize - 5);
  ASSERT_EQ(http.Read(get.request, buffer.data() + read, 100, read), 0u);
  ASSERT_EQ(read, 5u);
  buffer.resize(kSize);
  EXPECT_TRUE(buffer == GeneratedContent(0, kSize));
  EXPECT_EQ(http.Read(get.request, buffer.data(), 100, read), 0u);
  EXPECT_EQ(read, 0u);
}

TEST_P(HttpClientContract, ContentLengthIsAnsweredOnlyWhenTheResponseHasAUsableOne)
{
  server.Handle("GET", "/chunked", [](const HttpRequestSeen&) {
    HttpReply reply;
    reply.body = "sent without a length";
    reply.withoutLength = true;
    return reply;
  });
  RawServer closeDelimited("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nsent without a length");
  for (std::uint16_t port : {server.port(), closeDelimited.port()}) {
    Exchange get(http, port, "GET", "/chunked");
    ASSERT_EQ(get.Send(), 0u);
    std::uint32_t value = 0;
    EXPECT_EQ(http.QueryNumber(get.request, kLength, value), err::kHttpHeaderNotFound);
    std::string body;
    EXPECT_EQ(get.ReadBody(body), 0u);
    EXPECT_EQ(body, "sent without a length");
  }

  // A length beyond 32 bits is refused, never cut to its low bits.
  RawServer huge("HTTP/1.1 200 OK\r\nContent-Length: 4294967296\r\n\r\nabc");
  Exchange tooLong(http, huge.port(), "GET", "/");
  ASSERT_EQ(tooLong.Send(), 0u);
  std::uint32_t value = 0;
  EXPECT_NE(http.QueryNumber(tooLong.request, kLength, value), 0u);
}

TEST_P(HttpClientContract, PostCarriesItsBodyHeaderLinesAndReferrer)
{
  server.Handle("POST", "/form", [](const HttpRequestSeen&) {
    return HttpReply{200, "taken", {}};
  });
  Exchange post(http, server.port(), "POST", "/form", 0, "127.0.0.1", "http://orv.example/top");
  const std::string body("user=a&pass=\x82\xA0\0\xFF", 16);
  // An odd line among them is sent as given, not refused.
  ASSERT_EQ(post.Send("Content-Type: application/x-www-form-urlencoded\r\n"
                      "Connection: Keep-Alive:\r\nX-Orv: 1\r\n",
                      body),
            0u);
  EXPECT_EQ(post.Number(kStatus), 200u);
  std::string answer;
  EXPECT_EQ(post.ReadBody(answer), 0u);
  EXPECT_EQ(answer, "taken");

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, body);
  EXPECT_EQ(requests[0].Header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(requests[0].Header("X-Orv"), "1");
  EXPECT_EQ(requests[0].Header("Referer"), "http://orv.example/top");
  EXPECT_EQ(requests[0].Header("Expect"), "");
}

TEST_P(HttpClientContract, HeaderLengthAndPathBytesCannotAddHeaderLines)
{
  server.ServeText("/a b\r\nX-Injected: 1", "odd");
  Exchange get(http, server.port(), "GET", "/a b\r\nX-Injected: 1");
  const std::string headers = "X-Kept: 1\r\nX-Beyond-Length: 1";
  ASSERT_EQ(http.SendRequest(get.request, headers.c_str(), 9, nullptr, 0), 0u);
  EXPECT_EQ(get.Number(kStatus), 200u);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "/a%20b%0D%0AX-Injected:%201");
  EXPECT_EQ(requests[0].Header("X-Injected"), "");
  EXPECT_EQ(requests[0].Header("X-Kept"), "1");
  EXPECT_EQ(requests[0].Header("X-Beyond-Length"), "");

  // A verb or a referrer that would write lines of its own is refused.
  HttpHandle refused = nullptr;
  EXPECT_EQ(http.OpenRequest(get.connection, "GET /x HTTP/1.1\r\n", "/", nullptr, 0, refused),
            err::kInvalidParameter);
  EXPECT_EQ(http.OpenRequest(get.connection, "GET", "/", "http://a/\r\nX-Evil: 1", 0, refused),
            err::kInvalidParameter);
  EXPECT_EQ(refused, nullptr);
}

TEST_P(HttpClientContract, RedirectsAreFollowedAndAPostBecomesAGet)
{
  server.Handle("GET", "/old", [](const HttpRequestSeen&) {
    return HttpReply{302, "moved", {{"Location", "/new"}}};
  });
  server.ServeText("/new", "arrived");
  server.Handle("POST", "/login", [](const HttpRequestSeen&) {
    return HttpReply{302, "", {{"Location", "/home"}, {"Set-Cookie", "sid=7; Path=/"}}};
  });
  server.Handle("GET", "/home", [](const HttpRequestSeen& seen) {
    return HttpReply{200, "home " + seen.Header("Cookie"), {}};
  });

  Exchange get(http, server.port(), "GET", "/old");
  ASSERT_EQ(get.Send(), 0u);
  EXPECT_EQ(get.Number(kStatus), 200u);
  EXPECT_EQ(get.Number(kLength), 7u);
  std::string body;
  EXPECT_EQ(get.ReadBody(body), 0u);
  EXPECT_EQ(body, "arrived");

  // The sign-in pattern: the cookie set by the redirect goes with the next leg.
  Exchange post(http, server.port(), "POST", "/login");
  ASSERT_EQ(post.Send("", "user=a"), 0u);
  EXPECT_EQ(post.Number(kStatus), 200u);
  body.clear();
  EXPECT_EQ(post.ReadBody(body), 0u);
  EXPECT_THAT(body, StartsWith("home "));
  EXPECT_THAT(body, HasSubstr("sid=7"));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[2].method, "POST");
  EXPECT_EQ(requests[2].body, "user=a");
  EXPECT_EQ(requests[3].method, "GET");
  EXPECT_EQ(requests[3].path, "/home");
  EXPECT_EQ(requests[3].body, "");
}

TEST_P(HttpClientContract, CookiesAreSharedAcrossSessionsButNotWithNoCookies)
{
  server.Handle("GET", "/set", [](const HttpRequestSeen&) {
    return HttpReply{200, "", {{"Set-Cookie", "account=abc; Path=/"}}};
  });
  server.Handle("GET", "/set-private", [](const HttpRequestSeen&) {
    return HttpReply{200, "", {{"Set-Cookie", "private=1; Path=/"}}};
  });
  server.Handle("GET", "/echo", [](const HttpRequestSeen& seen) {
    return HttpReply{200, seen.Header("Cookie"), {}};
  });
  auto cookieSent = [&](std::uint32_t flags) {
    Exchange echo(http, server.port(), "GET", "/echo", flags);
    EXPECT_EQ(echo.Send(), 0u);
    std::string body;
    EXPECT_EQ(echo.ReadBody(body), 0u);
    return body;
  };

  {
    Exchange set(http, server.port(), "GET", "/set");
    ASSERT_EQ(set.Send(), 0u);
  }
  // Each Exchange is a session of its own: the store belongs to the process
  // (on Windows with what other tests of the process left in it).
  EXPECT_THAT(cookieSent(0), HasSubstr("account=abc"));
  EXPECT_EQ(cookieSent(HttpClient::kNoCookies), "");
  {
    Exchange set(http, server.port(), "GET", "/set-private", HttpClient::kNoCookies);
    ASSERT_EQ(set.Send(), 0u);
  }
  const std::string sent = cookieSent(0);
  EXPECT_THAT(sent, HasSubstr("account=abc"));
  EXPECT_THAT(sent, Not(HasSubstr("private")));
}

TEST_P(HttpClientContract, SessionsOnSeveralThreadsShareTheCookieStore)
{
  server.Handle("GET", "/set", [](const HttpRequestSeen& seen) {
    return HttpReply{200, "", {{"Set-Cookie", seen.query + "=1; Path=/"}}};
  });
  server.Handle("GET", "/echo", [](const HttpRequestSeen& seen) {
    return HttpReply{200, seen.Header("Cookie"), {}};
  });
  std::vector<std::thread> workers;
  for (int worker = 0; worker < 4; ++worker)
    workers.emplace_back([&, worker] {
      for (int round = 0; round < 10; ++round) {
        const std::string path = "/set?w" + std::to_string(worker) + "r" + std::to_string(round);
        Exchange set(http, server.port(), "GET", path.c_str());
        EXPECT_EQ(set.Send(), 0u);
      }
    });
  for (std::thread& worker : workers)
    worker.join();
  Exchange echo(http, server.port(), "GET", "/echo");
  ASSERT_EQ(echo.Send(), 0u);
  std::string cookies;
  ASSERT_EQ(echo.ReadBody(cookies), 0u);
  for (int worker = 0; worker < 4; ++worker)
    for (int round = 0; round < 10; ++round)
      EXPECT_THAT(cookies,
                  HasSubstr("w" + std::to_string(worker) + "r" + std::to_string(round) + "=1"));
}

// --- Servers that misbehave ---

TEST_P(HttpClientContract, ABodyCutShortIsAnErrorAfterItsBytesNeverAnEnd)
{
  RawServer shortBody("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(40, 'x'));
  Exchange get(http, shortBody.port(), "GET", "/");
  ASSERT_EQ(get.Send(), 0u);
  EXPECT_EQ(get.Number(kLength), 100u);
  std::string body;
  EXPECT_EQ(get.ReadBody(body, 7), err::kInternetConnectionAborted);
  EXPECT_EQ(body, std::string(40, 'x'));
  std::uint32_t read = 0;
  char buffer[16];
  EXPECT_EQ(http.Read(get.request, buffer, sizeof buffer, read), err::kInternetConnectionAborted);

  // Read alone, without asking first: the bytes, then the error.
  RawServer again("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(40, 'x'));
  Exchange alone(http, again.port(), "GET", "/");
  ASSERT_EQ(alone.Send(), 0u);
  char whole[100];
  ASSERT_EQ(http.Read(alone.request, whole, sizeof whole, read), 0u);
  EXPECT_EQ(read, 40u);
  EXPECT_EQ(http.Read(alone.request, whole, sizeof whole, read), err::kInternetConnectionAborted);
  EXPECT_EQ(read, 0u);
}

TEST_P(HttpClientContract, AStalledServerTimesOutAfterTheReceiveTimeout)
{
  RawServer endlessHeaders("HTTP/1.1 200 OK\r\nContent-Len", true);
  Exchange headers(http, endlessHeaders.port(), "GET", "/");
  ASSERT_EQ(http.SetTimeout(headers.internet, HttpClient::kReceiveTimeout, 300), 0u);
  std::uint64_t start = NowMs();
  EXPECT_EQ(headers.Send(), err::kInternetTimeout);
  std::uint64_t waited = NowMs() - start;
  EXPECT_GE(waited, 280u);
  EXPECT_LT(waited, 1500u);

  RawServer stalledBody("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789", true);
  Exchange body(http, stalledBody.port(), "GET", "/");
  ASSERT_EQ(http.SetTimeout(body.internet, HttpClient::kReceiveTimeout, 300), 0u);
  ASSERT_EQ(body.Send(), 0u);
  char buffer[100];
  std::uint32_t read = 0;
  start = NowMs();
  // What arrived before the stall is delivered; the time-out comes next.
  ASSERT_EQ(http.Read(body.request, buffer, sizeof buffer, read), 0u);
  EXPECT_EQ(std::string(buffer, read), "0123456789");
  waited = NowMs() - start;
  EXPECT_GE(waited, 280u);
  EXPECT_LT(waited, 1500u);
  EXPECT_EQ(http.Read(body.request, buffer, sizeof buffer, read), err::kInternetTimeout);
  std::uint32_t available = 0;
  EXPECT_EQ(http.QueryDataAvailable(body.request, available), err::kInternetTimeout);
}

TEST_P(HttpClientContract, AReadFromATricklingServerReturnsWhatCameWithinTheTimeout)
{
  // What went wrong without the limit: every byte restarted the wait, so a
  // read of 1000 bytes from a server sending one per 5 ms blocked for 5 s.
  RawServer trickle("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(1000, 't'),
                    false, 5);
  Exchange get(http, trickle.port(), "GET", "/");
  ASSERT_EQ(http.SetTimeout(get.internet, HttpClient::kReceiveTimeout, 300), 0u);
  ASSERT_EQ(get.Send(), 0u);
  char buffer[1000];
  std::uint32_t read = 0;
  const std::uint64_t start = NowMs();
  ASSERT_EQ(http.Read(get.request, buffer, sizeof buffer, read), 0u);
  const std::uint64_t waited = NowMs() - start;
  EXPECT_GT(read, 0u);
  EXPECT_LT(read, 1000u);
  EXPECT_GE(waited, 280u);
  EXPECT_LT(waited, 1000u);
  // A slow server is no failed one: the body goes on where the read ended.
  std::uint32_t more = 0;
  ASSERT_EQ(http.Read(get.request, buffer + read, sizeof buffer - read, more), 0u);
  EXPECT_GT(more, 0u);
}

TEST_P(HttpClientContract, ResponseHeadersAreAnsweredByNameTrimmed)
{
  RawServer headers(
      "HTTP/1.1 200 OK\r\nETag:  \"v7\"  \r\nlast-modified: Tue, 01 Jul 2025 10:00:00 GMT\r\n"
      "Content-Length: 0\r\n\r\n");
  Exchange get(http, headers.port(), "GET", "/");
  ASSERT_EQ(get.Send(), 0u);
  std::string value;
  EXPECT_EQ(http.QueryHeader(get.request, "etag", value), 0u);
  EXPECT_EQ(value, "\"v7\"");
  EXPECT_EQ(http.QueryHeader(get.request, "Last-Modified", value), 0u);
  EXPECT_EQ(value, "Tue, 01 Jul 2025 10:00:00 GMT");
  EXPECT_EQ(http.QueryHeader(get.request, "Content-Range", value), err::kHttpHeaderNotFound);
}

TEST_P(HttpClientContract, ARangedGetAnswersTheRestOfTheBodyWhileItsValidatorHolds)
{
  // How a download that broke off goes on: the validator of the whole body
  // first, then what is left of it.
  TempDir folder;
  const std::string content = GeneratedContent(0, 300000);
  WriteFile(folder / "step.cab", content);
  server.ServeFolder(folder.path());
  std::string validator;
  {
    Exchange whole(http, server.port(), "GET", "/step.cab");
    ASSERT_EQ(whole.Send(), 0u);
    ASSERT_EQ(http.QueryHeader(whole.request, "ETag", validator), 0u);
    std::string body;
    ASSERT_EQ(whole.ReadBody(body), 0u);
  }
  Exchange rest(http, server.port(), "GET", "/step.cab");
  ASSERT_EQ(rest.Send("Range: bytes=100000-\r\nIf-Range: " + validator + "\r\n"), 0u);
  EXPECT_EQ(rest.Number(kStatus), 206u);
  EXPECT_EQ(rest.Number(kLength), 200000u);
  std::string range;
  EXPECT_EQ(http.QueryHeader(rest.request, "Content-Range", range), 0u);
  EXPECT_EQ(range, "bytes 100000-299999/300000");
  std::string body;
  EXPECT_EQ(rest.ReadBody(body, 7777), 0u);
  EXPECT_TRUE(body == content.substr(100000)) << body.size() << " bytes arrived";

  // A validator the server no longer has: the whole new body.
  Exchange changed(http, server.port(), "GET", "/step.cab");
  ASSERT_EQ(changed.Send("Range: bytes=100000-\r\nIf-Range: \"stale\"\r\n"), 0u);
  EXPECT_EQ(changed.Number(kStatus), 200u);
  EXPECT_EQ(changed.Number(kLength), 300000u);
}

TEST_P(HttpClientContract, UnreachableHostsFailInSendRequest)
{
  Exchange closedPort(http, ClosedPort(), "GET", "/");
  EXPECT_EQ(closedPort.Send(), err::kInternetCannotConnect);

  Exchange unknown(http, 80, "GET", "/", 0, "name.invalid");
  EXPECT_EQ(unknown.Send(), err::kInternetNameNotResolved);
  // A host that would carry a path or a user into the URL is no host.
  Exchange smuggled(http, server.port(), "GET", "/", 0, "127.0.0.1/elsewhere?");
  EXPECT_EQ(smuggled.Send(), err::kInternetNameNotResolved);
  EXPECT_TRUE(server.Requests().empty());
}

// --- Proxies ---

TEST_P(HttpClientContract, SystemModeFollowsTheSystemsProxyAndDirectModeNeverDoes)
{
  // Only the proxy can reach a name that resolves nowhere.
  ForwardProxy proxy;
  server.ServeText("/version", "44");
  const std::shared_ptr<void> setting = GetParam().useSystemProxy(proxy.address());
  Exchange system(http, server.port(), "GET", "/version", 0, "patch.orv.invalid", nullptr,
                  {HttpClient::ProxyMode::System, {}});
  ASSERT_EQ(system.Send(), 0u);
  std::string body;
  EXPECT_EQ(system.ReadBody(body), 0u);
  EXPECT_EQ(body, "44");
  Exchange direct(http, server.port(), "GET", "/version", 0, "patch.orv.invalid", nullptr,
                  {HttpClient::ProxyMode::Direct, {}});
  EXPECT_EQ(direct.Send(), err::kInternetNameNotResolved);
  EXPECT_EQ(proxy.Requests().size(), 1u);
}

// --- TLS ---

TEST_P(HttpsContract, BodiesCrossWholeBothWaysForEitherName)
{
  secure->Handle("POST", "/echo", [](const HttpRequestSeen& seen) {
    HttpReply reply;
    reply.body = seen.body;
    return reply;
  });
  const std::uint64_t size = 5 * 1024 * 1024 + 17;
  secure->ServeGenerated("/data", size);
  // More than the sockets hold at once: both sides wait in turn.
  const std::string upload = GeneratedContent(3, 1024 * 1024 + 5);
  // The certificate names both; the launcher uses either.
  for (const char* host : {"127.0.0.1", "localhost"}) {
    Exchange post(trusting, secure->port(), "POST", "/echo", HttpClient::kSecure, host);
    ASSERT_EQ(post.Send("", upload), 0u) << host;
    std::string echoed;
    EXPECT_EQ(post.ReadBody(echoed), 0u) << host;
    EXPECT_TRUE(echoed == upload) << host << ": " << echoed.size() << " bytes came back";
  }
  Exchange get(trusting, secure->port(), "GET", "/data", HttpClient::kSecure);
  ASSERT_EQ(get.Send(), 0u);
  EXPECT_EQ(get.Number(kLength), size);
  std::string body;
  EXPECT_EQ(get.ReadBody(body), 0u);
  EXPECT_TRUE(body == GeneratedContent(0, size)) << body.size() << " bytes arrived";
  EXPECT_EQ(secure->Requests().size(), 3u);
}

TEST_P(HttpsContract, ASecureRequestFollowsRedirectsToHttpsOnly)
{
  // The sign-in pattern over HTTPS: the cookie the redirect sets goes along.
  secure->Handle("POST", "/login", [](const HttpRequestSeen&) {
    return HttpReply{302, "", {{"Location", "/home?a=1"}, {"Set-Cookie", "tls=7; Path=/"}}};
  });
  secure->Handle("GET", "/home", [](const HttpRequestSeen& seen) {
    return HttpReply{200, seen.query + " " + seen.Header("Cookie"), {}};
  });
  Exchange signIn(trusting, secure->port(), "POST", "/login", HttpClient::kSecure);
  ASSERT_EQ(signIn.Send("", "user=a"), 0u);
  EXPECT_EQ(signIn.Number(kStatus), 200u);
  std::string body;
  EXPECT_EQ(signIn.ReadBody(body), 0u);
  // Other tests of the process may have left cookies of their own.
  EXPECT_EQ(body.rfind("a=1 ", 0), 0u) << body;
  EXPECT_NE(body.find("tls=7"), std::string::npos) << body;

  // Followed, a 307 sent the sign-in form's body on to the plain server in clear.
  server.ServeText("/form", "taken");
  const std::string plain = "http://127.0.0.1:" + std::to_string(server.port()) + "/form";
  secure->Handle("POST", "/leak", [&](const HttpRequestSeen&) {
    return HttpReply{307, "", {{"Location", plain}}};
  });
  Exchange post(trusting, secure->port(), "POST", "/leak", HttpClient::kSecure);
  EXPECT_EQ(post.Send("", "user=a&password=secret"), err::kInternetHttpsToHttpOnRedirect);
  EXPECT_TRUE(server.Requests().empty());
}

TEST_P(HttpsContract, TlsTowardsAPlainServerFails)
{
  Exchange plain(trusting, server.port(), "GET", "/", HttpClient::kSecure);
  EXPECT_EQ(plain.Send(), err::kInternetSecurityChannelError);
}

TEST_P(HttpsContract, AServerThatCutsItsConnectionCutsTheClientsToo)
{
  secure->ServeGenerated("/endless", 1u << 30);
  Exchange get(trusting, secure->port(), "GET", "/endless", HttpClient::kSecure);
  ASSERT_EQ(get.Send(), 0u);
  std::vector<char> block(64 * 1024);
  std::uint32_t read = 0;
  ASSERT_EQ(
      trusting.Read(get.request, block.data(), static_cast<std::uint32_t>(block.size()), read), 0u);
  secure->CutConnections();

  std::atomic<bool> ended{false};
  std::uint32_t result = 0;
  std::thread reader([&] {
    std::string rest;
    result = get.ReadBody(rest);
    ended = true;
  });
  for (int waited = 0; !ended && waited < 20000; waited += 50)
    PauseMilliseconds(50);
  if (!ended) {
    ADD_FAILURE() << "the TLS connection outlived the server's";
    secure.reset();  // its listener goes, and with it what it relays
  }
  reader.join();
  EXPECT_EQ(result, err::kInternetConnectionAborted);
}

TEST_P(HttpsContract, AProxyServerCarriesPlainRequestsAndTunnelsSecureOnes)
{
  ForwardProxy proxy;
  const HttpClient::Proxy through{HttpClient::ProxyMode::Server, proxy.address()};
  server.ServeText("/version", "44");
  Exchange plain(http, server.port(), "GET", "/version", 0, "patch.orv.invalid", nullptr, through);
  ASSERT_EQ(plain.Send(), 0u);
  std::string body;
  EXPECT_EQ(plain.ReadBody(body), 0u);
  EXPECT_EQ(body, "44");

  // TLS goes end to end through the tunnel: the certificate is checked for
  // the name the client asked the proxy for.
  LoopbackServer named(LoopbackServer::Scheme::HttpsForAnotherName);
  named.ServeText("/login", "signed in");
  Exchange tunnelled(trusting, named.port(), "GET", "/login", HttpClient::kSecure,
                     "elsewhere.invalid", nullptr, through);
  ASSERT_EQ(tunnelled.Send(), 0u);
  body.clear();
  EXPECT_EQ(tunnelled.ReadBody(body), 0u);
  EXPECT_EQ(body, "signed in");

  const std::vector<std::string> requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0],
            "GET http://patch.orv.invalid:" + std::to_string(server.port()) + "/version HTTP/1.1");
  EXPECT_EQ(requests[1], "CONNECT elsewhere.invalid:" + std::to_string(named.port()) + " HTTP/1.1");
}

}  // namespace
}  // namespace orv::test
