#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/HttpClient.h"
#include "support/LoopbackServer.h"

// What every HttpClient back-end must do, written once against the
// interface (HttpClientContract.cpp); each test program instantiates it with
// the back-end of its platform, beside that back-end's own cases.
namespace orv::test {

struct HttpBackend {
  const char* name;
  // A client that trusts the authority in that PEM file besides the system's.
  std::function<std::unique_ptr<HttpClient>(const std::string& extraCaFile)> make;
  // Makes the HTTP proxy at address ("host:port") the system's, the one
  // ProxyMode::System follows, until what it answers goes.
  std::function<std::shared_ptr<void>(const std::string& address)> useSystemProxy;
};

inline std::string BackendName(const ::testing::TestParamInfo<HttpBackend>& info)
{
  return info.param.name;
}
inline void PrintTo(const HttpBackend& backend, std::ostream* out)
{
  *out << backend.name;
}

inline constexpr std::uint32_t kStatus =
    HttpClient::kQueryStatusCode | HttpClient::kQueryFlagNumber;
inline constexpr std::uint32_t kLength =
    HttpClient::kQueryContentLength | HttpClient::kQueryFlagNumber;

// One session, one connection, one request, closed in the order the
// launcher closes them.
struct Exchange {
  // Straight to the server unless told otherwise: the machine's own proxy
  // settings must not decide where a test's requests go.
  Exchange(HttpClient& http, std::uint16_t port, const char* verb, const char* path,
           std::uint32_t flags = 0, const char* host = "127.0.0.1", const char* referrer = nullptr,
           const HttpClient::Proxy& proxy = {HttpClient::ProxyMode::Direct, {}})
      : http(http)
  {
    EXPECT_EQ(http.OpenInternet(internet, proxy), 0u);
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

class HttpClientContract : public ::testing::TestWithParam<HttpBackend> {
 protected:
  LoopbackServer server;
  std::unique_ptr<HttpClient> client = GetParam().make("");
  HttpClient& http = *client;
};

// The same with an HTTPS server and a client that trusts its authority.
class HttpsContract : public HttpClientContract {
 protected:
  std::unique_ptr<LoopbackServer> secure =
      std::make_unique<LoopbackServer>(LoopbackServer::Scheme::Https);
  std::unique_ptr<HttpClient> trustingClient = GetParam().make(secure->caFile());
  HttpClient& trusting = *trustingClient;
};

// Defined by each back-end's test file, in its platform's calls:
// a monotonic clock in milliseconds, for time-outs,
std::uint64_t NowMs();
// and a port on 127.0.0.1 where nobody listens.
std::uint16_t ClosedPort();

}  // namespace orv::test
