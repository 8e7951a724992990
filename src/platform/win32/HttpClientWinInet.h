#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/HttpClient.h"

namespace orv::win32 {

// WinINet, call for call; the handles are WinINet's own. The cookie store,
// redirects, time-outs and TLS are WinINet's. Three things are added:
// - WinINet ends a body that the server cut short as if it were complete,
//   so the bytes read of each request are counted and an end before the
//   announced Content-Length is reported as err::kInternetConnectionAborted.
// - A secure request follows its redirects itself, to HTTPS only: wine's
//   WinINet follows one to plain HTTP, and a sign-in form's body and the
//   cookies of the answers would go in clear. A redirect to HTTP fails with
//   the error Windows gives it, ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR.
// - A call waiting on the network cannot be stopped: closing its handles
//   from another thread does not end it under wine, and wine does not apply
//   the receive time-out either. So the calls that wait run on a thread of
//   their session, and the caller waits for the outcome or for Abort,
//   whichever comes first. An abandoned call finishes on its own thread
//   with its own copies of what it sends and reads.
class HttpClientWinInet final : public HttpClient {
 public:
  HttpClientWinInet() = default;
  ~HttpClientWinInet() override;
  HttpClientWinInet(const HttpClientWinInet&) = delete;
  HttpClientWinInet& operator=(const HttpClientWinInet&) = delete;

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
  // The error number with wininet.dll's own text for it.
  std::string FailureReason(HttpHandle handle, std::uint32_t error) override;
  void Close(HttpHandle handle) override;
  void Abort(HttpHandle internet) override;

 private:
  struct Session;
  struct SecureRequest;

  // Called where WinINet says the body has ended.
  std::uint32_t CheckEnd(HttpHandle request);
  void Count(HttpHandle request, std::uint64_t bytes);
  // The session a handle was made under; null for a handle of no session.
  std::shared_ptr<Session> SessionOf(HttpHandle handle);
  // The WinINet request holding the answer to a launcher's request: the
  // last one a secure request was redirected to, else the request itself.
  HttpHandle Answering(HttpHandle request);
  // Runs call on the session's thread and answers its result, or
  // err::kInternetOperationCancelled as soon as the session is aborted.
  std::uint32_t WaitFor(HttpHandle handle, std::function<std::uint32_t()> call);

  std::mutex m_lock;
  std::unordered_map<HttpHandle, std::uint64_t> m_received;
  // Every open handle of a session: its library handle, connections and requests.
  std::unordered_map<HttpHandle, std::shared_ptr<Session>> m_sessions;
  std::unordered_map<HttpHandle, std::shared_ptr<SecureRequest>> m_secure;
};

}  // namespace orv::win32
