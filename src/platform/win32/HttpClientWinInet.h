#pragma once

#include <mutex>
#include <unordered_map>

#include "platform/HttpClient.h"

namespace orv::win32 {

// WinINet, call for call; the handles are WinINet's own. The cookie store,
// redirects, time-outs and TLS are WinINet's. One thing is added: WinINet
// ends a body that the server cut short as if it were complete, so the
// bytes read of each request are counted and an end before the announced
// Content-Length is reported as err::kInternetConnectionAborted.
class HttpClientWinInet final : public HttpClient {
 public:
  std::uint32_t OpenInternet(HttpHandle& internet) override;
  std::uint32_t SetTimeout(HttpHandle internet, std::uint32_t option,
                           std::uint32_t milliseconds) override;
  std::uint32_t Connect(HttpHandle internet, const char* host, std::uint16_t port,
                        HttpHandle& connection) override;
  std::uint32_t OpenRequest(HttpHandle connection, const char* verb, const char* path,
                            const char* referrer, std::uint32_t flags,
                            HttpHandle& request) override;
  std::uint32_t SendRequest(HttpHandle request, const char* headers, std::uint32_t headersLength,
                            const void* body, std::uint32_t bodyLength) override;
  std::uint32_t QueryNumber(HttpHandle request, std::uint32_t infoLevel,
                            std::uint32_t& value) override;
  std::uint32_t QueryDataAvailable(HttpHandle request, std::uint32_t& available) override;
  std::uint32_t Read(HttpHandle request, void* buffer, std::uint32_t size,
                     std::uint32_t& read) override;
  void Close(HttpHandle handle) override;

 private:
  // Called where WinINet says the body has ended.
  std::uint32_t CheckEnd(HttpHandle request);
  void Count(HttpHandle request, std::uint64_t bytes);

  std::mutex m_lock;
  std::unordered_map<HttpHandle, std::uint64_t> m_received;
};

}  // namespace orv::win32
