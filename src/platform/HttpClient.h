#pragma once

#include <cstdint>
#include <string>

namespace orv {

// An opaque handle of the HTTP client: the library, a connection or a request.
using HttpHandle = void*;

// What the launcher needs of the platform's internet library, call for call.
// Every operation answers 0 on success or an error number of
// platform/ErrorCodes.h. One instance serves the whole process and keeps the
// process's cookie store; handles of different sessions may be used from
// different threads at the same time, one handle never from two at once.
class HttpClient {
 public:
  virtual ~HttpClient() = default;

  // Time-out options of SetTimeout, in milliseconds.
  static constexpr std::uint32_t kConnectTimeout = 2;
  static constexpr std::uint32_t kSendTimeout = 7;
  static constexpr std::uint32_t kReceiveTimeout = 8;
  // The send and receive time-outs of HTTP requests. The two above are the
  // library's older options, which Windows ignores for HTTP: without these a
  // server that stops sending in the middle of a body is waited for forever.
  static constexpr std::uint32_t kHttpSendTimeout = 5;
  static constexpr std::uint32_t kHttpReceiveTimeout = 6;

  // Request flags of OpenRequest.
  // Neither send cookies from the store nor keep the ones the response sets.
  static constexpr std::uint32_t kNoCookies = 0x00080000;
  // HTTPS instead of HTTP.
  static constexpr std::uint32_t kSecure = 0x00800000;

  // Numbers QueryNumber answers.
  static constexpr std::uint32_t kQueryContentLength = 5;
  static constexpr std::uint32_t kQueryStatusCode = 19;
  static constexpr std::uint32_t kQueryFlagNumber = 0x20000000;

  // Header length meaning "the headers are zero-terminated".
  static constexpr std::uint32_t kHeadersTerminated = 0xFFFFFFFF;

  // How the requests of a library handle reach their servers.
  enum class ProxyMode {
    // The system's settings: on Windows those of Internet Options, elsewhere
    // the http_proxy, https_proxy and no_proxy variables.
    System,
    // Straight to the server, whatever the system says.
    Direct,
    // Through the HTTP proxy `server` ("host:port"), HTTPS tunnelled.
    Server,
  };
  struct Proxy {
    ProxyMode mode = ProxyMode::System;
    std::string server;
  };

  // The library handle, no agent string, its requests going as proxy says.
  virtual std::uint32_t OpenInternet(HttpHandle& internet, const Proxy& proxy) = 0;
  virtual std::uint32_t SetTimeout(HttpHandle internet, std::uint32_t option,
                                   std::uint32_t milliseconds) = 0;
  // A connection to one host and port. Nothing goes over the network yet:
  // an unreachable host is reported by SendRequest.
  virtual std::uint32_t Connect(HttpHandle internet, const char* host, std::uint16_t port,
                                HttpHandle& connection) = 0;
  // verb "GET" or "POST"; referrer may be null; flags as above.
  virtual std::uint32_t OpenRequest(HttpHandle connection, const char* verb, const char* path,
                                    const char* referrer, std::uint32_t flags,
                                    HttpHandle& request) = 0;
  // Sends the request with the extra header lines (CR LF separated, may be
  // null) and the body (may be null), follows redirects, and returns once
  // the final response's status line and headers have arrived.
  virtual std::uint32_t SendRequest(HttpHandle request, const char* headers,
                                    std::uint32_t headersLength, const void* body,
                                    std::uint32_t bodyLength) = 0;
  // infoLevel is kQueryStatusCode or kQueryContentLength, or'ed with
  // kQueryFlagNumber. A response without the header answers
  // err::kHttpHeaderNotFound.
  virtual std::uint32_t QueryNumber(HttpHandle request, std::uint32_t infoLevel,
                                    std::uint32_t& value) = 0;
  // The value of a header of the final response (the name's case does not
  // matter), as the server sent it without the blanks around it: "ETag",
  // "Last-Modified", "Content-Range". err::kHttpHeaderNotFound when the
  // response has no such header.
  virtual std::uint32_t QueryHeader(HttpHandle request, const char* name, std::string& value) = 0;
  // Waits until body bytes are ready (at most the receive time-out) and
  // answers how many can be read without waiting; 0 at the end of the body.
  virtual std::uint32_t QueryDataAvailable(HttpHandle request, std::uint32_t& available) = 0;
  // Reads up to size body bytes, waiting until that many have arrived or the
  // body has ended; read is 0 at the end of the body.
  virtual std::uint32_t Read(HttpHandle request, void* buffer, std::uint32_t size,
                             std::uint32_t& read) = 0;
  // Why a call on the handle failed with error, in the platform's own words
  // (its own error code and text), for the log file: the error numbers above
  // fold several causes into one. Empty when the platform said no more than
  // the number.
  virtual std::string FailureReason(HttpHandle handle, std::uint32_t error)
  {
    static_cast<void>(handle);
    static_cast<void>(error);
    return {};
  }
  // Closes a handle of any kind; a null handle is ignored.
  virtual void Close(HttpHandle handle) = 0;
  // From any thread, while other threads use the session: ends at once the
  // wait of every request made under the library handle, the one in
  // progress and every later one, with err::kInternetOperationCancelled.
  // For stopping a session's work for good; its handles are still closed
  // by their owners as usual.
  virtual void Abort(HttpHandle internet) = 0;
};

}  // namespace orv
