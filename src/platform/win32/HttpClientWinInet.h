#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/HttpClient.h"

namespace orv::win32 {

// WinINet, call for call; the handles are WinINet's own. The cookie store,
// redirects, proxies and TLS are WinINet's; nothing is read from or written
// to its cache. Three things are added:
// - WinINet ends a body that the server cut short as if it were complete,
//   so the bytes read of each request are counted and an end before the
//   announced Content-Length is reported as err::kInternetConnectionAborted.
// - A secure request follows its redirects itself, to HTTPS only: wine's
//   WinINet follows one to plain HTTP, and a sign-in form's body and the
//   cookies of the answers would go in clear. A redirect to HTTP fails with
//   the error Windows gives it, ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR.
// - A call waiting on the network cannot be stopped: closing its handles
//   from another thread does not end it under wine. Nor does WinINet keep
//   the receive time-out as the launcher means it: wine applies it only when
//   it is set on the request itself, and then to each wait on the socket,
//   so a server that trickles a byte now and then holds a read for ever and
//   a response head that stalls passes, after two time-outs, as complete.
//   So the calls that wait run on a thread of their session, and the caller
//   waits for the outcome, for Abort, or for the receive time-out to pass
//   since the request went out or since the call began, whichever comes
//   first. A call given up on finishes on its own thread with its own copies
//   of what it sends and reads, and its request fails for good with
//   err::kInternetTimeout: the call may still take bytes of the body.
class HttpClientWinInet final : public HttpClient {
 public:
  HttpClientWinInet() = default;
  ~HttpClientWinInet() override;
  HttpClientWinInet(const HttpClientWinInet&) = delete;
  HttpClientWinInet& operator=(const HttpClientWinInet&) = delete;

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
  // The error number with wininet.dll's own text for it.
  std::string FailureReason(HttpHandle handle, std::uint32_t error) override;
  void Close(HttpHandle handle) override;
  void Abort(HttpHandle internet) override;

 private:
  struct Session;
  struct SecureRequest;
  struct Request;

  // Takes WinINet's reports of a request's progress.
  friend struct WinInetProgress;

  // Called where WinINet says the body has ended.
  std::uint32_t CheckEnd(HttpHandle request);
  // The session a handle was made under; null for a handle of no session.
  std::shared_ptr<Session> SessionOf(HttpHandle handle);
  // What the client keeps of a request; null for a handle of no request.
  std::shared_ptr<Request> RequestOf(HttpHandle request);
  // The WinINet request holding the answer to a launcher's request: the
  // last one a secure request was redirected to, else the request itself.
  HttpHandle Answering(HttpHandle request);
  // The failure every call on the request answers from now on, or 0.
  std::uint32_t FailedFor(const Request* request);
  void FailForGood(Request* request, std::uint32_t error);
  // When a call that waits for body bytes and begins now gives up: a
  // receive time-out from now, or 0 for no limit.
  static std::uint64_t ReceiveDue(const Request* request);
  // Runs call on the session's thread and answers its result,
  // err::kInternetOperationCancelled as soon as the session is aborted, or
  // err::kInternetTimeout once the moment until() answers (a tick count;
  // 0 for none yet, asked again whenever the session's state changes) has
  // passed; the call is then given up on and the request fails for good.
  std::uint32_t WaitFor(const std::shared_ptr<Request>& request,
                        std::function<std::uint32_t()> call, std::function<std::uint64_t()> until);

  std::mutex m_lock;
  // Every open handle of a session: its library handle, connections and requests.
  std::unordered_map<HttpHandle, std::shared_ptr<Session>> m_sessions;
  std::unordered_map<HttpHandle, std::shared_ptr<Request>> m_requests;
};

}  // namespace orv::win32
