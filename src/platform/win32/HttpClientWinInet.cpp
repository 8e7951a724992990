#include "platform/win32/HttpClientWinInet.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/win32/Win32Error.h"

namespace orv::win32 {

namespace {

// The error of a WinINet call that failed. Under wine a socket's own
// time-out comes out as Winsock's number; it is WinINet's time-out.
std::uint32_t Failure()
{
  const std::uint32_t error = LastErrorOr(err::kInternetInternalError);
  return error == WSAETIMEDOUT ? err::kInternetTimeout : error;
}

std::uint32_t Result(BOOL succeeded)
{
  return succeeded ? 0 : Failure();
}

// WinINet's own default for each of its time-outs, and so the receive
// time-out of a session that was given none.
constexpr DWORD kDefaultTimeoutMs = 60000;

// How long a read whose time-out has passed is given to hand over what came
// so far on its own: a server that trickles is slow, not gone, and a read
// that returns by itself leaves the request usable.
constexpr std::uint64_t kSettleMs = 250;

// Every request is made past WinINet's cache, neither answered from it nor
// written to it. The launcher reads each thing once and keeps what it needs
// itself: a cached version file or file list could hide a new step, a patch
// download of hundreds of MiB would be written to the disk twice, and wine
// files whatever a response brought as the address's copy, a 206's part or
// the start of a body that broke off included, which a later request could
// then be answered from.
constexpr DWORD kPastTheCache = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;

// A redirect chain longer than this is given up on, as the Linux client does.
constexpr int kMaxRedirects = 20;

// A text WinINet hands out through a buffer of the caller's: asked with a
// guess, again with the size it answers. Empty when it has none.
template <class Ask>
std::string AskText(Ask ask)
{
  std::string text(512, '\0');
  DWORD size = static_cast<DWORD>(text.size());
  if (!ask(text.data(), &size)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      return {};
    text.assign(size + 1, '\0');
    size = static_cast<DWORD>(text.size());
    if (!ask(text.data(), &size))
      return {};
  }
  text.resize(std::strlen(text.c_str()));
  return text;
}

// Where a redirect leads: the Location of the answer read against the
// request's own address.
std::string RedirectTarget(HINTERNET request)
{
  const std::string location = AskText([request](char* buffer, DWORD* size) {
    return HttpQueryInfoA(request, HTTP_QUERY_LOCATION, buffer, size, nullptr);
  });
  if (location.empty())
    return {};
  const std::string base = AskText([request](char* buffer, DWORD* size) {
    return InternetQueryOptionA(request, INTERNET_OPTION_URL, buffer, size);
  });
  return AskText([&](char* buffer, DWORD* size) {
    return InternetCombineUrlA(base.c_str(), location.c_str(), buffer, size, ICU_NO_ENCODE);
  });
}

std::string Trimmed(const std::string& text)
{
  const std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos)
    return {};
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

bool IsRedirect(DWORD status)
{
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The path as it goes on the request line. WinINet sends it byte for byte,
// and a space or a control byte cannot stand there (CR LF would even start a
// header line of its own), so those are percent-encoded; every other byte is
// sent as given.
std::string RequestTarget(const char* path)
{
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string target;
  for (const char* c = path; *c; ++c) {
    const unsigned char byte = static_cast<unsigned char>(*c);
    if (byte <= 0x20 || byte == 0x7F) {
      target += '%';
      target += kHex[byte >> 4];
      target += kHex[byte & 0xF];
    } else {
      target += *c;
    }
  }
  return target;
}

// A verb that is not one word, or a referrer with a line break in it, would
// write header lines of its own into the request.
bool CleanVerbAndReferrer(const char* verb, const char* referrer)
{
  const std::string method = verb ? verb : "GET";
  if (method.empty() ||
      method.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                               "0123456789!#$%&'*+-.^_`|~") != std::string::npos)
    return false;
  for (const char* c = referrer; c && *c; ++c)
    if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F)
      return false;
  return true;
}

}  // namespace

// The thread a session's waiting calls run on, one call at a time, and the
// abort that lets their callers stop waiting. The thread holds the session
// and nothing of the client, so neither has to outlive the other; it ends
// once the library handle is closed and no call is left, or once a call of
// its was given up on, when the next call starts a thread of its own.
struct HttpClientWinInet::Session {
  explicit Session(HttpHandle internet) : internet(internet) {}

  static void Serve(const std::shared_ptr<Session>& self, std::uint64_t generation)
  {
    std::unique_lock<std::mutex> hold(self->lock);
    for (;;) {
      self->changed.wait(
          hold, [&] { return self->call || self->closed || self->generation != generation; });
      if (!self->call || self->generation != generation)
        return;
      std::function<std::uint32_t()> call = std::move(self->call);
      self->call = nullptr;
      hold.unlock();
      const std::uint32_t result = call();
      call = nullptr;
      hold.lock();
      if (self->generation != generation)
        return;  // given up on: the result is nobody's
      self->result = result;
      ++self->finished;
      self->changed.notify_all();
    }
  }

  // The time-outs requests are opened with, once SetTimeout gave them.
  std::optional<DWORD> sendTimeout;
  std::optional<DWORD> receiveTimeout;

  const HttpHandle internet;
  std::mutex lock;
  std::condition_variable changed;
  // The call handed over and not yet taken by the thread.
  std::function<std::uint32_t()> call;
  // Calls handed over and calls finished; they differ while one runs.
  std::uint64_t handed = 0;
  std::uint64_t finished = 0;
  std::uint32_t result = 0;
  // Which thread serves the calls: a new one after a call was given up on.
  std::uint64_t generation = 0;
  bool serving = false;
  bool aborted = false;
  bool closed = false;
};

namespace {

// The session's time-outs on a WinINet request. Under wine only these apply
// at all, set on the request; on Windows the library handle's already hold.
// Should WinINet refuse them, the client's own wait still ends the calls.
void SetTimeoutsOf(HINTERNET request, std::optional<DWORD> send, std::optional<DWORD> receive)
{
  if (send)
    InternetSetOptionA(request, INTERNET_OPTION_SEND_TIMEOUT, &*send, sizeof *send);
  if (receive)
    InternetSetOptionA(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &*receive, sizeof *receive);
}

}  // namespace

// A secure request whose redirects the client follows itself: what each
// new leg is opened with, and the handles opened for the legs.
struct HttpClientWinInet::SecureRequest {
  HttpHandle internet = nullptr;
  std::string verb;
  std::string referrer;
  bool withReferrer = false;
  DWORD flags = 0;
  DWORD_PTR context = 0;
  std::optional<DWORD> sendTimeout;
  std::optional<DWORD> receiveTimeout;

  std::mutex lock;
  HttpHandle answering = nullptr;
  std::vector<HttpHandle> opened;
  bool closed = false;

  // Sends on request and follows each redirect with a new request on a new
  // connection, as WinINet would, unless it leads elsewhere than HTTPS.
  std::uint32_t SendFollowing(HttpHandle request, const char* headers, DWORD headersLength,
                              const std::string* body)
  {
    HINTERNET current = request;
    std::string method = verb;
    for (int leg = 0;; ++leg) {
      if (!HttpSendRequestA(current, headers, headers ? headersLength : 0,
                            body ? const_cast<char*>(body->data()) : nullptr,
                            body ? static_cast<DWORD>(body->size()) : 0))
        return Failure();
      DWORD status = 0;
      DWORD size = sizeof status;
      if (!HttpQueryInfoA(current, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                          nullptr) ||
          !IsRedirect(status))
        return 0;
      const std::string target = RedirectTarget(current);
      if (target.empty())
        return 0;  // an answer without a place to go is the answer
      char host[INTERNET_MAX_HOST_NAME_LENGTH + 1] = "";
      std::string path(target.size() + 1, '\0');
      std::string extra(target.size() + 1, '\0');
      URL_COMPONENTSA parts{};
      parts.dwStructSize = sizeof parts;
      parts.lpszHostName = host;
      parts.dwHostNameLength = sizeof host;
      parts.lpszUrlPath = path.data();
      parts.dwUrlPathLength = static_cast<DWORD>(path.size());
      parts.lpszExtraInfo = extra.data();
      parts.dwExtraInfoLength = static_cast<DWORD>(extra.size());
      if (!InternetCrackUrlA(target.c_str(), 0, 0, &parts))
        return err::kHttpRedirectFailed;
      if (parts.nScheme == INTERNET_SCHEME_HTTP)
        return err::kInternetHttpsToHttpOnRedirect;
      if (parts.nScheme != INTERNET_SCHEME_HTTPS || leg == kMaxRedirects)
        return err::kHttpRedirectFailed;
      // After a 301, 302 or 303 a POST goes on as a GET, without its body.
      if (status != 307 && status != 308 && method != "GET" && method != "HEAD") {
        method = "GET";
        body = nullptr;
      }
      const std::string object = std::string(parts.lpszUrlPath, parts.dwUrlPathLength) +
                                 std::string(parts.lpszExtraInfo, parts.dwExtraInfoLength);
      HINTERNET connection =
          InternetConnectA(internet, host, parts.nPort, "", "", INTERNET_SERVICE_HTTP, 0, 0);
      HINTERNET next =
          connection
              ? HttpOpenRequestA(connection, method.c_str(), object.c_str(), nullptr,
                                 withReferrer ? referrer.c_str() : nullptr, nullptr, flags, context)
              : nullptr;
      const std::uint32_t error = next ? 0 : Failure();
      if (next)
        SetTimeoutsOf(next, sendTimeout, receiveTimeout);
      {
        std::lock_guard<std::mutex> hold(lock);
        for (HINTERNET handle : {connection, next})
          if (handle)
            opened.push_back(handle);
        if (closed)
          return err::kInternetOperationCancelled;
        if (next)
          answering = next;
      }
      if (error != 0)
        return error;
      current = next;
    }
  }
};

// What the client keeps of a launcher's request. Its address is the
// context of its WinINet requests, so their progress reaches it.
struct HttpClientWinInet::Request {
  explicit Request(std::shared_ptr<Session> session) : session(std::move(session)) {}

  const std::shared_ptr<Session> session;
  // Set when the client follows the request's redirects itself.
  std::shared_ptr<SecureRequest> secure;
  // Under the client's lock: the body bytes read since it was sent, and the
  // failure every later call answers once one was given up on.
  std::uint64_t received = 0;
  std::uint32_t failed = 0;
  // Under the session's lock: when the wait of the send in progress ends, a
  // receive time-out after the request went out; 0 while it is on its way.
  std::uint64_t responseDue = 0;
};

// WinINet's reports of a request's progress, on the thread of the call, for
// the request whose address is their context.
struct WinInetProgress {
  static void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, void*, DWORD)
  {
    // Only the sending and sent reports count, and WinINet makes them only
    // in HttpSendRequestA, whose caller holds the request: any other
    // report, a closing one in particular, may come after it has gone.
    if (status != INTERNET_STATUS_SENDING_REQUEST && status != INTERNET_STATUS_REQUEST_SENT)
      return;
    auto& request = *reinterpret_cast<HttpClientWinInet::Request*>(context);
    HttpClientWinInet::Session& session = *request.session;
    std::lock_guard<std::mutex> hold(session.lock);
    const DWORD timeout = session.receiveTimeout.value_or(kDefaultTimeoutMs);
    // A redirect's next leg goes out anew. A time-out of 0 sets no limit.
    request.responseDue =
        status == INTERNET_STATUS_REQUEST_SENT && timeout != 0 ? GetTickCount64() + timeout : 0;
    session.changed.notify_all();
  }
};

std::uint64_t HttpClientWinInet::ReceiveDue(const Request* request)
{
  if (!request)
    return 0;
  std::lock_guard<std::mutex> hold(request->session->lock);
  const DWORD timeout = request->session->receiveTimeout.value_or(kDefaultTimeoutMs);
  return timeout == 0 ? 0 : GetTickCount64() + timeout;
}

HttpClientWinInet::~HttpClientWinInet()
{
  // The sessions' threads end as soon as they are idle; one held by an
  // abandoned call ends with it, or with the process.
  for (auto& [handle, session] : m_sessions) {
    std::lock_guard<std::mutex> hold(session->lock);
    session->closed = true;
    session->changed.notify_all();
  }
}

std::shared_ptr<HttpClientWinInet::Session> HttpClientWinInet::SessionOf(HttpHandle handle)
{
  std::lock_guard<std::mutex> lock(m_lock);
  const auto found = m_sessions.find(handle);
  return found == m_sessions.end() ? nullptr : found->second;
}

std::shared_ptr<HttpClientWinInet::Request> HttpClientWinInet::RequestOf(HttpHandle request)
{
  std::lock_guard<std::mutex> lock(m_lock);
  const auto found = m_requests.find(request);
  return found == m_requests.end() ? nullptr : found->second;
}

std::uint32_t HttpClientWinInet::FailedFor(const Request* request)
{
  if (!request)
    return 0;
  std::lock_guard<std::mutex> lock(m_lock);
  return request->failed;
}

void HttpClientWinInet::FailForGood(Request* request, std::uint32_t error)
{
  if (!request)
    return;
  std::lock_guard<std::mutex> lock(m_lock);
  if (request->failed == 0)
    request->failed = error;
}

std::uint32_t HttpClientWinInet::WaitFor(const std::shared_ptr<Request>& request,
                                         std::function<std::uint32_t()> call,
                                         std::function<std::uint64_t()> until)
{
  const std::shared_ptr<Session> session = request ? request->session : nullptr;
  if (!session)
    return call();  // not a request of ours: WinINet answers for it
  std::unique_lock<std::mutex> hold(session->lock);
  // One call at a time: a session is meant for one thread at a time anyway.
  session->changed.wait(hold,
                        [&] { return session->aborted || session->handed == session->finished; });
  if (session->aborted)
    return err::kInternetOperationCancelled;
  if (!session->serving) {
    try {
      std::thread(&Session::Serve, session, session->generation).detach();
    } catch (const std::system_error&) {
      // Without a thread of its own the call still runs, only unstoppably.
      hold.unlock();
      return call();
    }
    session->serving = true;
  }
  session->call = std::move(call);
  const std::uint64_t ticket = ++session->handed;
  session->changed.notify_all();
  for (;;) {
    if (session->finished == ticket)
      return session->result;
    if (session->aborted)
      return err::kInternetOperationCancelled;
    const std::uint64_t due = until();
    const std::uint64_t now = GetTickCount64();
    if (due == 0)
      session->changed.wait(hold);
    else if (now < due)
      session->changed.wait_for(hold, std::chrono::milliseconds(due - now));
    else
      break;
  }
  // Given up on: the thread finishes the call and ends, the next call gets
  // a thread of its own, and the request is no use any more.
  ++session->generation;
  session->serving = false;
  session->call = nullptr;
  session->finished = session->handed;
  session->changed.notify_all();
  hold.unlock();
  FailForGood(request.get(), err::kInternetTimeout);
  return err::kInternetTimeout;
}

void HttpClientWinInet::Abort(HttpHandle internet)
{
  const std::shared_ptr<Session> session = SessionOf(internet);
  if (!session)
    return;
  std::lock_guard<std::mutex> hold(session->lock);
  session->aborted = true;
  session->changed.notify_all();
}

// System takes the settings WinINet keeps for the user, those of Internet
// Options: the values ProxyEnable, ProxyServer and ProxyOverride of
// HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings. Wine's
// WinINet reads them there too, but once per process, at the first library
// handle that asks for them; and when they enable no proxy it takes the
// Unix environment's http_proxy (with no_proxy as the exceptions) instead,
// for HTTPS as well. Unlike Windows, it does not leave out loopback names
// by itself: only the exceptions ProxyOverride lists ("<local>" among them).
std::uint32_t HttpClientWinInet::OpenInternet(HttpHandle& internet, const Proxy& proxy)
{
  internet = nullptr;
  DWORD access = INTERNET_OPEN_TYPE_PRECONFIG;
  if (proxy.mode == ProxyMode::Direct)
    access = INTERNET_OPEN_TYPE_DIRECT;
  if (proxy.mode == ProxyMode::Server) {
    // An empty name would leave WinINet with no proxy to go through.
    if (proxy.server.empty())
      return err::kInvalidParameter;
    access = INTERNET_OPEN_TYPE_PROXY;
  }
  internet = InternetOpenA(nullptr, access,
                           access == INTERNET_OPEN_TYPE_PROXY ? proxy.server.c_str() : nullptr,
                           nullptr, 0);
  if (!internet)
    return Result(FALSE);
  // Every handle made under this one reports its progress here.
  InternetSetStatusCallbackA(internet, WinInetProgress::OnStatus);
  std::lock_guard<std::mutex> lock(m_lock);
  m_sessions[internet] = std::make_shared<Session>(internet);
  return 0;
}

std::uint32_t HttpClientWinInet::SetTimeout(HttpHandle internet, std::uint32_t option,
                                            std::uint32_t milliseconds)
{
  DWORD value = milliseconds;
  if (!InternetSetOptionA(internet, option, &value, sizeof value))
    return Failure();
  if (const std::shared_ptr<Session> session = SessionOf(internet)) {
    // The latest of the two options of each kind holds.
    std::lock_guard<std::mutex> hold(session->lock);
    if (option == kHttpSendTimeout || option == kSendTimeout)
      session->sendTimeout = value;
    if (option == kHttpReceiveTimeout || option == kReceiveTimeout)
      session->receiveTimeout = value;
  }
  return 0;
}

std::uint32_t HttpClientWinInet::Connect(HttpHandle internet, const char* host, std::uint16_t port,
                                         HttpHandle& connection)
{
  connection = InternetConnectA(internet, host, port, "", "", INTERNET_SERVICE_HTTP, 0, 0);
  if (!connection)
    return Result(FALSE);
  if (std::shared_ptr<Session> session = SessionOf(internet)) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_sessions[connection] = std::move(session);
  }
  return 0;
}

std::uint32_t HttpClientWinInet::OpenRequest(HttpHandle connection, const char* verb,
                                             const char* path, const char* referrer,
                                             std::uint32_t flags, HttpHandle& request)
{
  const bool secure = (flags & kSecure) != 0;
  request = nullptr;
  if (!CleanVerbAndReferrer(verb, referrer))
    return err::kInvalidParameter;
  std::shared_ptr<Session> session = SessionOf(connection);
  auto state = std::make_shared<Request>(session);
  const DWORD wininetFlags = flags | kPastTheCache | (secure ? INTERNET_FLAG_NO_AUTO_REDIRECT : 0);
  // WinINet reports no progress for a context of 0.
  const DWORD_PTR context = session ? reinterpret_cast<DWORD_PTR>(state.get()) : 0;
  request = HttpOpenRequestA(connection, verb, path ? RequestTarget(path).c_str() : nullptr,
                             nullptr, referrer, nullptr, wininetFlags, context);
  if (!request)
    return Result(FALSE);
  if (!session)
    return 0;
  std::optional<DWORD> sendTimeout;
  std::optional<DWORD> receiveTimeout;
  {
    std::lock_guard<std::mutex> hold(session->lock);
    sendTimeout = session->sendTimeout;
    receiveTimeout = session->receiveTimeout;
  }
  SetTimeoutsOf(request, sendTimeout, receiveTimeout);
  if (secure) {
    auto following = std::make_shared<SecureRequest>();
    following->internet = session->internet;
    following->verb = verb ? verb : "GET";
    following->withReferrer = referrer != nullptr;
    following->referrer = referrer ? referrer : "";
    following->flags = wininetFlags;
    following->context = context;
    following->sendTimeout = sendTimeout;
    following->receiveTimeout = receiveTimeout;
    following->answering = request;
    state->secure = std::move(following);
  }
  std::lock_guard<std::mutex> lock(m_lock);
  m_requests[request] = std::move(state);
  m_sessions[request] = std::move(session);
  return 0;
}

HttpHandle HttpClientWinInet::Answering(HttpHandle request)
{
  const std::shared_ptr<Request> state = RequestOf(request);
  if (!state || !state->secure)
    return request;
  std::lock_guard<std::mutex> hold(state->secure->lock);
  return state->secure->answering;
}

std::uint32_t HttpClientWinInet::SendRequest(HttpHandle request, const char* headers,
                                             std::uint32_t headersLength, const void* body,
                                             std::uint32_t bodyLength)
{
  const std::shared_ptr<Request> state = RequestOf(request);
  if (const std::uint32_t failed = FailedFor(state.get()))
    return failed;
  if (state) {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      state->received = 0;
    }
    std::lock_guard<std::mutex> hold(state->session->lock);
    state->responseDue = 0;
  }
  // Copies: the caller's texts may be gone before an abandoned call ends.
  std::string headerText;
  if (headers)
    headerText = headersLength == kHeadersTerminated ? std::string(headers)
                                                     : std::string(headers, headersLength);
  std::string content = body ? std::string(static_cast<const char*>(body), bodyLength) : "";
  // Connecting and sending are limited by WinINet's own time-outs and
  // Abort; the wait for the answer by the receive time-out.
  Request* const progress = state.get();
  return WaitFor(
      state,
      [request, state, withHeaders = headers != nullptr, withBody = body != nullptr, headersLength,
       headerText = std::move(headerText), content = std::move(content)]() mutable {
        const char* lines = withHeaders ? headerText.c_str() : nullptr;
        if (state && state->secure)
          return state->secure->SendFollowing(request, lines, headersLength,
                                              withBody ? &content : nullptr);
        return Result(HttpSendRequestA(request, lines, withHeaders ? headersLength : 0,
                                       withBody ? content.data() : nullptr,
                                       static_cast<DWORD>(content.size())));
      },
      [progress] { return progress->responseDue; });
}

std::uint32_t HttpClientWinInet::QueryNumber(HttpHandle request, std::uint32_t infoLevel,
                                             std::uint32_t& value)
{
  DWORD number = 0;
  DWORD size = sizeof number;
  const std::uint32_t error =
      Result(HttpQueryInfoA(Answering(request), infoLevel, &number, &size, nullptr));
  if (error == 0)
    value = number;
  return error;
}

std::uint32_t HttpClientWinInet::QueryHeader(HttpHandle request, const char* name,
                                             std::string& value)
{
  value.clear();
  const HttpHandle answering = Answering(request);
  const std::size_t nameSize = std::strlen(name) + 1;
  // WinINet takes the name in the buffer it writes the value to, and
  // answers the size it needs when the buffer is too small.
  std::string buffer(std::max<std::size_t>(nameSize, 256), '\0');
  for (;;) {
    std::memcpy(buffer.data(), name, nameSize);
    DWORD size = static_cast<DWORD>(buffer.size());
    if (HttpQueryInfoA(answering, HTTP_QUERY_CUSTOM, buffer.data(), &size, nullptr)) {
      buffer.resize(std::min<std::size_t>(size, buffer.size()));
      value = Trimmed(buffer);
      return 0;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size < buffer.size())
      return Failure();
    buffer.assign(std::max<std::size_t>(nameSize, size + 1), '\0');
  }
}

std::uint32_t HttpClientWinInet::QueryDataAvailable(HttpHandle request, std::uint32_t& available)
{
  available = 0;
  const std::shared_ptr<Request> state = RequestOf(request);
  if (const std::uint32_t failed = FailedFor(state.get()))
    return failed;
  const std::uint64_t due = ReceiveDue(state.get());
  const auto count = std::make_shared<DWORD>(0);
  const std::uint32_t error = WaitFor(
      state,
      [answering = Answering(request), state, count] {
        return Result(InternetQueryDataAvailable(answering, count.get(), 0, 0));
      },
      [due] { return due; });
  if (error != 0)
    return error;
  available = *count;
  return available == 0 ? CheckEnd(request) : 0;
}

std::uint32_t HttpClientWinInet::Read(HttpHandle request, void* buffer, std::uint32_t size,
                                      std::uint32_t& read)
{
  read = 0;
  const std::shared_ptr<Request> state = RequestOf(request);
  if (const std::uint32_t failed = FailedFor(state.get()))
    return failed;
  // The call reads into a block of its own: the caller's buffer may be gone
  // before an abandoned call ends. Its bytes up to filled are final.
  struct Block {
    explicit Block(std::uint32_t size) : bytes(new char[size == 0 ? 1 : size]) {}
    std::unique_ptr<char[]> bytes;
    std::atomic<std::uint32_t> filled{0};
    bool ended = false;
  };
  const auto block = std::make_shared<Block>(size);
  const std::uint64_t due = ReceiveDue(state.get());
  // The launcher is promised all the bytes it asks for or the end, but no
  // longer than the receive time-out: then it gets what came by then. One
  // InternetReadFile would wait for the whole size however slowly the bytes
  // come, so each reads only what WinINet says it holds.
  const std::uint32_t error = WaitFor(
      state,
      [answering = Answering(request), state, size, block, due]() -> std::uint32_t {
        std::uint32_t filled = 0;
        while (filled < size) {
          if (filled > 0 && due != 0 && GetTickCount64() >= due)
            return 0;
          DWORD available = 0;
          if (!InternetQueryDataAvailable(answering, &available, 0, 0))
            return Failure();
          if (available == 0) {
            block->ended = true;
            return 0;
          }
          DWORD got = 0;
          const BOOL done = InternetReadFile(answering, block->bytes.get() + filled,
                                             std::min<DWORD>(available, size - filled), &got);
          // Wine answers the bytes it read before a failure along with it.
          filled += got;
          block->filled.store(filled, std::memory_order_release);
          if (!done)
            return Failure();
          if (got == 0) {
            block->ended = true;
            return 0;
          }
        }
        return 0;
      },
      [due] { return due == 0 ? 0 : due + kSettleMs; });
  // An aborted call may still be filling the block; its bytes are nobody's.
  if (error == err::kInternetOperationCancelled)
    return error;
  const std::uint32_t filled = block->filled.load(std::memory_order_acquire);
  std::memcpy(buffer, block->bytes.get(), filled);
  read = filled;
  if (state) {
    std::lock_guard<std::mutex> lock(m_lock);
    state->received += read;
  }
  if (error != 0) {
    if (read == 0)
      return error;
    // The bytes before the failure are the caller's; the failure is
    // answered next.
    FailForGood(state.get(), error);
    return 0;
  }
  // The bytes before the end are the caller's; a short body is reported by
  // the read after them.
  return block->ended && read == 0 ? CheckEnd(request) : 0;
}

std::uint32_t HttpClientWinInet::CheckEnd(HttpHandle request)
{
  DWORD announced = 0;
  DWORD size = sizeof announced;
  if (!HttpQueryInfoA(Answering(request), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                      &announced, &size, nullptr))
    return 0;  // no length: the end is whatever the server says it is
  const std::shared_ptr<Request> state = RequestOf(request);
  std::lock_guard<std::mutex> lock(m_lock);
  if (state && state->received < announced)
    return err::kInternetConnectionAborted;
  return 0;
}

std::string HttpClientWinInet::FailureReason(HttpHandle, std::uint32_t error)
{
  // WinINet's numbers are its own words already; its text says them out.
  return error != 0 ? "WinINet error " + ErrorText(error, "wininet.dll") : std::string();
}

void HttpClientWinInet::Close(HttpHandle handle)
{
  if (!handle)
    return;
  std::shared_ptr<Session> session;
  std::shared_ptr<Request> request;
  {
    // Forgotten before WinINet may give the handle's number to a new one.
    std::lock_guard<std::mutex> lock(m_lock);
    const auto found = m_sessions.find(handle);
    if (found != m_sessions.end()) {
      session = std::move(found->second);
      m_sessions.erase(found);
    }
    const auto opened = m_requests.find(handle);
    if (opened != m_requests.end()) {
      request = std::move(opened->second);
      m_requests.erase(opened);
    }
  }
  if (request && request->secure) {
    // The legs of its redirects go with the request, requests first.
    SecureRequest& secure = *request->secure;
    std::lock_guard<std::mutex> hold(secure.lock);
    secure.closed = true;
    for (auto leg = secure.opened.rbegin(); leg != secure.opened.rend(); ++leg)
      InternetCloseHandle(*leg);
    secure.opened.clear();
  }
  if (session && session->internet == handle) {
    std::lock_guard<std::mutex> hold(session->lock);
    session->closed = true;
    session->changed.notify_all();
  }
  InternetCloseHandle(handle);
}

}  // namespace orv::win32
