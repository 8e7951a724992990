#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/posix/HttpClientCurl.h"
#include "support/LoopbackServer.h"
#include "support/TempDir.h"

namespace orv::test {
namespace {

constexpr std::uint32_t kStatus = HttpClient::kQueryStatusCode | HttpClient::kQueryFlagNumber;
constexpr std::uint32_t kLength = HttpClient::kQueryContentLength | HttpClient::kQueryFlagNumber;

std::uint64_t NowMs()
{
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

// One session, one connection, one request, closed in the order the
// launcher closes them.
struct Exchange {
  Exchange(HttpClient& http, std::uint16_t port, const char* verb, const char* path,
           std::uint32_t flags = 0, const char* host = "127.0.0.1", const char* referrer = nullptr)
      : http(http)
  {
    EXPECT_EQ(http.OpenInternet(internet), 0u);
    EXPECT_EQ(http.Connect(internet, host, port, connection), 0u);
    EXPECT_EQ(http.OpenRequest(connection, verb, path, referrer, flags, request), 0u);
  }
  ~Exchange()
  {
    http.Close(connection);
    http.Close(request);
    http.Close(internet);
  }

  std::uint32_t Send(const std::string& headers = "", const std::string& body = "")
  {
    return http.SendRequest(request, headers.empty() ? nullptr : headers.c_str(),
                            HttpClient::kHeadersTerminated, body.empty() ? nullptr : body.data(),
                            static_cast<std::uint32_t>(body.size()));
  }

  std::uint32_t Number(std::uint32_t query)
  {
    std::uint32_t value = 0;
    EXPECT_EQ(http.QueryNumber(request, query, value), 0u);
    return value;
  }

  // The body the way the launcher's download loop reads it: ask what is
  // there, read at most piece of it. Answers the error that ended it.
  std::uint32_t ReadBody(std::string& body, std::uint32_t piece = 64 * 1024,
                         std::uint32_t* largestAvailable = nullptr)
  {
    std::vector<char> buffer(piece);
    for (;;) {
      std::uint32_t available = 0;
      if (const std::uint32_t error = http.QueryDataAvailable(request, available))
        return error;
      if (largestAvailable)
        *largestAvailable = std::max(*largestAvailable, available);
      if (available == 0)
        return 0;
      std::uint32_t read = 0;
      if (const std::uint32_t error =
              http.Read(request, buffer.data(), std::min(available, piece), read))
        return error;
      if (read == 0) {
        ADD_FAILURE() << "Read found nothing after QueryDataAvailable answered " << available;
        return 0;
      }
      body.append(buffer.data(), read);
    }
  }

  HttpClient& http;
  HttpHandle internet = nullptr;
  HttpHandle connection = nullptr;
  HttpHandle request = nullptr;
};

class HttpClientCurlTest : public ::testing::Test {
 protected:
  LoopbackServer server;
  posix::HttpClientCurl curl;
  HttpClient& http = curl;
};

// --- Exchanges that go well ---

TEST_F(HttpClientCurlTest, GetAnswersStatusLengthAndTheBodyInPieces)
{
  // Larger than the pull buffer, so the transfer is paused and resumed.
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

TEST_F(HttpClientCurlTest, ReadWaitsForItsWholeSizeEvenBeyondThePullBuffer)
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

TEST_F(HttpClientCurlTest, ContentLengthIsAnsweredOnlyWhenTheResponseHasAUsableOne)
{
  server.Handle("GET", "/chunked", [](const HttpRequestSeen&) {
    HttpReply reply;
    reply.body = "sent in chunks";
    reply.withoutLength = true;
    return reply;
  });
  Exchange chunked(http, server.port(), "GET", "/chunked");
  ASSERT_EQ(chunked.Send(), 0u);
  std::uint32_t value = 0;
  EXPECT_EQ(http.QueryNumber(chunked.request, kLength, value), err::kHttpHeaderNotFound);
  EXPECT_EQ(http.QueryNumber(chunked.request, HttpClient::kQueryStatusCode, value),
            err::kInvalidParameter);
  std::string body;
  EXPECT_EQ(chunked.ReadBody(body), 0u);
  EXPECT_EQ(body, "sent in chunks");

  RawServer huge("HTTP/1.1 200 OK\r\nContent-Length: 4294967296\r\n\r\nabc");
  Exchange tooLong(http, huge.port(), "GET", "/");
  ASSERT_EQ(tooLong.Send(), 0u);
  EXPECT_EQ(http.QueryNumber(tooLong.request, kLength, value), err::kInvalidData);
}

TEST_F(HttpClientCurlTest, PostCarriesItsBodyHeaderLinesAndReferrer)
{
  server.Handle("POST", "/form",
                [](const HttpRequestSeen&) { return HttpReply{200, "taken", {}}; });
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

TEST_F(HttpClientCurlTest, HeaderLengthAndPathBytesCannotAddHeaderLines)
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
}

TEST_F(HttpClientCurlTest, RedirectsAreFollowedAndAPostBecomesAGet)
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
  server.Handle("GET", "/loop", [](const HttpRequestSeen&) {
    return HttpReply{302, "", {{"Location", "/loop"}}};
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
  EXPECT_EQ(body, "home sid=7");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[2].method, "POST");
  EXPECT_EQ(requests[2].body, "user=a");
  EXPECT_EQ(requests[3].method, "GET");
  EXPECT_EQ(requests[3].path, "/home");
  EXPECT_EQ(requests[3].body, "");

  Exchange loop(http, server.port(), "GET", "/loop");
  EXPECT_EQ(loop.Send(), err::kHttpRedirectFailed);
}

TEST_F(HttpClientCurlTest, CookiesAreSharedAcrossSessionsButNotWithNoCookies)
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
  // Each Exchange is a session of its own: the store belongs to the process.
  EXPECT_EQ(cookieSent(0), "account=abc");
  EXPECT_EQ(cookieSent(HttpClient::kNoCookies), "");
  {
    Exchange set(http, server.port(), "GET", "/set-private", HttpClient::kNoCookies);
    ASSERT_EQ(set.Send(), 0u);
  }
  EXPECT_EQ(cookieSent(0), "account=abc");
}

TEST_F(HttpClientCurlTest, SessionsOnSeveralThreadsShareTheCookieStore)
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
  EXPECT_EQ(std::count(cookies.begin(), cookies.end(), '='), 40);
}

// --- Servers that misbehave ---

TEST_F(HttpClientCurlTest, ABodyCutShortIsAnErrorAfterItsBytesNeverAnEnd)
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

  RawServer shortChunks("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n");
  Exchange chunked(http, shortChunks.port(), "GET", "/");
  ASSERT_EQ(chunked.Send(), 0u);
  // Read alone, without asking first: the bytes, then the error.
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
  const std::string giantLine = "HTTP/1.1 200 OK\r\nX-Big: " + std::string(200000, 'b') + "\r\n\r\n";
  for (const std::string& answer :
       {std::string(), std::string("no status line\r\n\r\n"), flood, giantLine}) {
    RawServer raw(answer);
    Exchange get(http, raw.port(), "GET", "/");
    EXPECT_EQ(get.Send(), err::kHttpInvalidServerResponse) << answer.substr(0, 20);
  }
}

TEST_F(HttpClientCurlTest, AStalledServerTimesOutAfterTheReceiveTimeout)
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

TEST_F(HttpClientCurlTest, AReadFromATricklingServerReturnsWhatCameWithinTheTimeout)
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
}

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

TEST_F(HttpClientCurlTest, UnreachableHostsFailInSendRequest)
{
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size), 0);
  close(probe);  // nobody listens there now
  Exchange closedPort(http, ntohs(address.sin_port), "GET", "/");
  EXPECT_EQ(closedPort.Send(), err::kInternetCannotConnect);

  Exchange unknown(http, 80, "GET", "/", 0, "name.invalid");
  EXPECT_EQ(unknown.Send(), err::kInternetNameNotResolved);
  // A host that would carry a path or a user into the URL is no host.
  Exchange smuggled(http, server.port(), "GET", "/", 0, "127.0.0.1/elsewhere?");
  EXPECT_EQ(smuggled.Send(), err::kInternetNameNotResolved);
  EXPECT_TRUE(server.Requests().empty());
}

// --- TLS ---

TEST_F(HttpClientCurlTest, HttpsTrustsTheExtraAuthorityBesidesTheSystemOnes)
{
  LoopbackServer secure(LoopbackServer::Scheme::Https);
  secure.ServeText("/secret", "for your eyes");
  posix::HttpClientCurl trusting(secure.caFile());
  // The certificate names both; the launcher uses either.
  for (const char* host : {"127.0.0.1", "localhost"}) {
    Exchange get(trusting, secure.port(), "GET", "/secret", HttpClient::kSecure, host);
    ASSERT_EQ(get.Send(), 0u) << host;
    std::string body;
    EXPECT_EQ(get.ReadBody(body), 0u);
    EXPECT_EQ(body, "for your eyes");
  }
}

TEST_F(HttpClientCurlTest, ASecureRequestFollowsRedirectsToHttpsOnly)
{
  LoopbackServer secure(LoopbackServer::Scheme::Https);
  posix::HttpClientCurl trusting(secure.caFile());
  secure.Handle("POST", "/login", [](const HttpRequestSeen&) {
    return HttpReply{302, "", {{"Location", "/home?a=1"}, {"Set-Cookie", "tls=7; Path=/"}}};
  });
  secure.Handle("GET", "/home", [](const HttpRequestSeen& seen) {
    return HttpReply{200, seen.query + " " + seen.Header("Cookie"), {}};
  });
  Exchange signIn(trusting, secure.port(), "POST", "/login", HttpClient::kSecure);
  ASSERT_EQ(signIn.Send("", "user=a"), 0u);
  std::string body;
  EXPECT_EQ(signIn.ReadBody(body), 0u);
  // Other tests of the process may have left cookies of their own.
  EXPECT_EQ(body.rfind("a=1 ", 0), 0u) << body;
  EXPECT_NE(body.find("tls=7"), std::string::npos) << body;

  // Followed, a 307 sent the sign-in form's body on to the plain server in clear.
  server.ServeText("/form", "taken");
  const std::string plain = "http://127.0.0.1:" + std::to_string(server.port()) + "/form";
  secure.Handle("POST", "/leak",
                [&](const HttpRequestSeen&) { return HttpReply{307, "", {{"Location", plain}}}; });
  Exchange post(trusting, secure.port(), "POST", "/leak", HttpClient::kSecure);
  EXPECT_EQ(post.Send("", "user=a&password=secret"), err::kInternetHttpsToHttpOnRedirect);
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(HttpClientCurlTest, HttpsFailsWithAnUnknownAuthorityOrNoTls)
{
  LoopbackServer secure(LoopbackServer::Scheme::Https);
  secure.ServeText("/secret", "for your eyes");
  Exchange untrusted(http, secure.port(), "GET", "/secret", HttpClient::kSecure);
  EXPECT_EQ(untrusted.Send(), err::kInternetInvalidCa);
  EXPECT_TRUE(secure.Requests().empty());
  // TLS towards a server that speaks plain HTTP.
  Exchange plain(http, server.port(), "GET", "/", HttpClient::kSecure);
  EXPECT_EQ(plain.Send(), err::kInternetSecurityChannelError);
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
  EXPECT_EQ(http.OpenRequest(get.connection, "GET /x HTTP/1.1\r\n", "/", nullptr, 0, unused),
            err::kInvalidParameter);
  EXPECT_EQ(http.OpenRequest(get.connection, "GET", "/", "http://a/\r\nX-Evil: 1", 0, unused),
            err::kInvalidParameter);
  // Nothing sent yet: there is nothing to query or read.
  EXPECT_EQ(http.QueryNumber(get.request, kStatus, value), err::kInternetIncorrectHandleState);
  char byte;
  EXPECT_EQ(http.Read(get.request, &byte, 1, value), err::kInternetIncorrectHandleState);
  EXPECT_EQ(http.QueryDataAvailable(get.request, value), err::kInternetIncorrectHandleState);
  http.Close(nullptr);
}

TEST_F(HttpClientCurlTest, ARequestOutlivesItsConnectionAndSession)
{
  server.ServeGenerated("/data", 3 * 1024 * 1024);
  HttpHandle internet = nullptr, connection = nullptr, request = nullptr;
  ASSERT_EQ(http.OpenInternet(internet), 0u);
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

// --- The loopback server itself ---

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
