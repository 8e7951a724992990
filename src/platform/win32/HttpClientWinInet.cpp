#include "platform/win32/HttpClientWinInet.h"

#include <windows.h>
#include <wininet.h>

#include <condition_variable>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/win32/Win32Error.h"

namespace orv::win32 {

namespace {

std::uint32_t Result(BOOL succeeded)
{
  return succeeded ? 0 : LastErrorOr(err::kInternetInternalError);
}

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

// A secure request whose redirects the client follows itself: what each
// new leg is opened with, and the handles opened for the legs.
struct HttpClientWinInet::SecureRequest {
  HttpHandle internet = nullptr;
  std::string verb;
  std::string referrer;
  bool withReferrer = false;
  DWORD flags = 0;

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
        return LastErrorOr(err::kInternetInternalError);
      DWORD status = 0;
      DWORD size = sizeof status;
      if (!HttpQueryInfoA(current, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                          &size, nullptr) ||
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
      HINTERNET next = connection ? HttpOpenRequestA(connection, method.c_str(), object.c_str(),
                                                     nullptr, withReferrer ? referrer.c_str() : nullptr,
                                                     nullptr, flags, 0)
                                  : nullptr;
      const std::uint32_t error = next ? 0 : LastErrorOr(err::kInternetInternalError);
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

// The thread a session's waiting calls run on, one call at a time, and the
// abort that lets their callers stop waiting. The thread holds the session
// and nothing of the client, so neither has to outlive the other; it ends
// once the library handle is closed and no call is left.
struct HttpClientWinInet::Session {
  explicit Session(HttpHandle internet) : internet(internet) {}

  static void Serve(const std::shared_ptr<Session>& self)
  {
    std::unique_lock<std::mutex> hold(self->lock);
    for (;;) {
      self->changed.wait(hold, [&] { return self->call || self->closed; });
      if (!self->call)
        return;
      std::function<std::uint32_t()> call = std::move(self->call);
      self->call = nullptr;
      hold.unlock();
      const std::uint32_t result = call();
      call = nullptr;
      hold.lock();
      self->result = result;
      ++self->finished;
      self->changed.notify_all();
    }
  }

  const HttpHandle internet;
  std::mutex lock;
  std::condition_variable changed;
  // The call handed over and not yet taken by the thread.
  std::function<std::uint32_t()> call;
  // Calls handed over and calls finished; they differ while one runs.
  std::uint64_t handed = 0;
  std::uint64_t finished = 0;
  std::uint32_t result = 0;
  bool serving = false;
  bool aborted = false;
  bool closed = false;
};

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

std::uint32_t HttpClientWinInet::WaitFor(HttpHandle handle, std::function<std::uint32_t()> call)
{
  const std::shared_ptr<Session> session = SessionOf(handle);
  if (!session)
    return call();  // not a handle of ours: WinINet answers for it
  std::unique_lock<std::mutex> hold(session->lock);
  // One call at a time: a session is meant for one thread at a time anyway.
  session->changed.wait(hold,
                        [&] { return session->aborted || session->handed == session->finished; });
  if (session->aborted)
    return err::kInternetOperationCancelled;
  if (!session->serving) {
    try {
      std::thread(&Session::Serve, session).detach();
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
  session->changed.wait(hold,
                        [&] { return session->aborted || session->finished == ticket; });
  if (session->finished != ticket)
    return err::kInternetOperationCancelled;
  return session->result;
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

std::uint32_t HttpClientWinInet::OpenInternet(HttpHandle& internet)
{
  internet = InternetOpenA(nullptr, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (!internet)
    return Result(FALSE);
  std::lock_guard<std::mutex> lock(m_lock);
  m_sessions[internet] = std::make_shared<Session>(internet);
  return 0;
}

std::uint32_t HttpClientWinInet::SetTimeout(HttpHandle internet, std::uint32_t option,
                                            std::uint32_t milliseconds)
{
  DWORD value = milliseconds;
  return Result(InternetSetOptionA(internet, option, &value, sizeof value));
}

std::uint32_t HttpClientWinInet::Connect(HttpHandle internet, const char* host,
                                         std::uint16_t port, HttpHandle& connection)
{
  connection =
      InternetConnectA(internet, host, port, "", "", INTERNET_SERVICE_HTTP, 0, 0);
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
  request = HttpOpenRequestA(connection, verb, path ? RequestTarget(path).c_str() : nullptr,
                             nullptr, referrer, nullptr,
                             secure ? flags | INTERNET_FLAG_NO_AUTO_REDIRECT : flags, 0);
  if (!request)
    return Result(FALSE);
  std::shared_ptr<Session> session = SessionOf(connection);
  std::lock_guard<std::mutex> lock(m_lock);
  if (secure && session) {
    auto following = std::make_shared<SecureRequest>();
    following->internet = session->internet;
    following->verb = verb ? verb : "GET";
    following->withReferrer = referrer != nullptr;
    following->referrer = referrer ? referrer : "";
    following->flags = flags | INTERNET_FLAG_NO_AUTO_REDIRECT;
    following->answering = request;
    m_secure[request] = std::move(following);
  }
  if (session)
    m_sessions[request] = std::move(session);
  return 0;
}

HttpHandle HttpClientWinInet::Answering(HttpHandle request)
{
  std::shared_ptr<SecureRequest> secure;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    const auto found = m_secure.find(request);
    if (found == m_secure.end())
      return request;
    secure = found->second;
  }
  std::lock_guard<std::mutex> hold(secure->lock);
  return secure->answering;
}

std::uint32_t HttpClientWinInet::SendRequest(HttpHandle request, const char* headers,
                                             std::uint32_t headersLength, const void* body,
                                             std::uint32_t bodyLength)
{
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_received[request] = 0;
  }
  // Copies: the caller's texts may be gone before an abandoned call ends.
  std::string headerText;
  if (headers)
    headerText = headersLength == kHeadersTerminated ? std::string(headers)
                                                     : std::string(headers, headersLength);
  std::string content = body ? std::string(static_cast<const char*>(body), bodyLength) : "";
  std::shared_ptr<SecureRequest> secure;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    const auto found = m_secure.find(request);
    if (found != m_secure.end())
      secure = found->second;
  }
  return WaitFor(request, [request, secure, withHeaders = headers != nullptr,
                           withBody = body != nullptr, headersLength,
                           headerText = std::move(headerText),
                           content = std::move(content)]() mutable {
    const char* lines = withHeaders ? headerText.c_str() : nullptr;
    if (secure)
      return secure->SendFollowing(request, lines, headersLength, withBody ? &content : nullptr);
    return Result(HttpSendRequestA(request, lines, withHeaders ? headersLength : 0,
                                   withBody ? content.data() : nullptr,
                                   static_cast<DWORD>(content.size())));
  });
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

std::uint32_t HttpClientWinInet::QueryDataAvailable(HttpHandle request, std::uint32_t& available)
{
  available = 0;
  const auto count = std::make_shared<DWORD>(0);
  const std::uint32_t error = WaitFor(request, [answering = Answering(request), count] {
    return Result(InternetQueryDataAvailable(answering, count.get(), 0, 0));
  });
  if (error != 0)
    return error;
  available = *count;
  return available == 0 ? CheckEnd(request) : 0;
}

std::uint32_t HttpClientWinInet::Read(HttpHandle request, void* buffer, std::uint32_t size,
                                      std::uint32_t& read)
{
  read = 0;
  // The call reads into a block of its own: the caller's buffer may be gone
  // before an abandoned call ends.
  struct Block {
    explicit Block(std::uint32_t size) : bytes(new char[size == 0 ? 1 : size]) {}
    std::unique_ptr<char[]> bytes;
    std::uint32_t filled = 0;
    bool ended = false;
  };
  const auto block = std::make_shared<Block>(size);
  // One InternetReadFile may answer fewer bytes than asked while the body
  // goes on; the launcher is promised all of them or the end.
  const std::uint32_t error =
      WaitFor(request, [answering = Answering(request), size, block]() -> std::uint32_t {
    while (block->filled < size) {
      DWORD got = 0;
      if (!InternetReadFile(answering, block->bytes.get() + block->filled, size - block->filled,
                            &got))
        return LastErrorOr(err::kInternetInternalError);
      if (got == 0) {
        block->ended = true;
        return 0;
      }
      block->filled += got;
    }
    return 0;
  });
  // An abandoned call may still be filling the block.
  if (error == err::kInternetOperationCancelled)
    return error;
  std::memcpy(buffer, block->bytes.get(), block->filled);
  read = block->filled;
  Count(request, read);
  if (error != 0)
    return error;
  // The bytes before the end are the caller's; a short body is reported by
  // the read after them.
  return block->ended && read == 0 ? CheckEnd(request) : 0;
}

void HttpClientWinInet::Count(HttpHandle request, std::uint64_t bytes)
{
  std::lock_guard<std::mutex> lock(m_lock);
  m_received[request] += bytes;
}

std::uint32_t HttpClientWinInet::CheckEnd(HttpHandle request)
{
  DWORD announced = 0;
  DWORD size = sizeof announced;
  if (!HttpQueryInfoA(Answering(request), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                      &announced, &size, nullptr))
    return 0;  // no length: the end is whatever the server says it is
  std::lock_guard<std::mutex> lock(m_lock);
  const auto received = m_received.find(request);
  if (received != m_received.end() && received->second < announced)
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
  std::shared_ptr<SecureRequest> secure;
  {
    // Forgotten before WinINet may give the handle's number to a new one.
    std::lock_guard<std::mutex> lock(m_lock);
    m_received.erase(handle);
    const auto found = m_sessions.find(handle);
    if (found != m_sessions.end()) {
      session = std::move(found->second);
      m_sessions.erase(found);
    }
    const auto following = m_secure.find(handle);
    if (following != m_secure.end()) {
      secure = std::move(following->second);
      m_secure.erase(following);
    }
  }
  if (secure) {
    // The legs of its redirects go with the request, requests first.
    std::lock_guard<std::mutex> hold(secure->lock);
    secure->closed = true;
    for (auto leg = secure->opened.rbegin(); leg != secure->opened.rend(); ++leg)
      InternetCloseHandle(*leg);
    secure->opened.clear();
  }
  if (session && session->internet == handle) {
    std::lock_guard<std::mutex> hold(session->lock);
    session->closed = true;
    session->changed.notify_all();
  }
  InternetCloseHandle(handle);
}

}  // namespace orv::win32
