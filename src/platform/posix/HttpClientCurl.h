#pragma once

#include <memory>
#include <string>

#include "platform/HttpClient.h"

namespace orv::posix {

// The HTTP client on libcurl's multi interface, driven in pull mode: the
// reads of the launcher run the transfer, a small buffer between them. One
// instance holds the process's cookie store.
class HttpClientCurl final : public HttpClient {
 public:
  // extraCaFile: a PEM file trusted besides the system's certificates, or "".
  explicit HttpClientCurl(std::string extraCaFile = "");
  ~HttpClientCurl() override;

  std::uint32_t OpenInternet(HttpHandle& internet, const Proxy& proxy) override;
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
  std::uint32_t QueryHeader(HttpHandle request, const char* name, std::string& value) override;
  std::uint32_t QueryDataAvailable(HttpHandle request, std::uint32_t& available) override;
  std::uint32_t Read(HttpHandle request, void* buffer, std::uint32_t size,
                     std::uint32_t& read) override;
  // curl's code and text, and the detail of its error buffer, for a request
  // whose transfer ended with that error.
  std::string FailureReason(HttpHandle handle, std::uint32_t error) override;
  void Close(HttpHandle handle) override;
  void Abort(HttpHandle internet) override;

 private:
  struct Shared;
  std::unique_ptr<Shared> m_shared;
};

}  // namespace orv::posix
