// The HTTP client on libcurl, shaped like the Windows internet library the
// launcher was written against: handles for a session, a connection and a
// request, calls that answer Windows error numbers, and reads that pull the
// body. The launcher reads; curl's multi interface only moves bytes while a
// call of the launcher drives it, into a byte queue that the reads drain.
//
// The file reads top to bottom:
//   Limits             the time-outs, buffer sizes and bounds, with reasons;
//                      the clock they are measured by
//   curl and trust     global set-up once per process; the CA bundle
//   On the wire        what a host, verb, referrer and path may hold
//   Errors             curl's codes as the launcher's numbers, and in words
//   Handles            Session, Connection and the Object they share
//   The request        one exchange: send, query, read; the transfer loop
//                      (Drive) and curl's callbacks that fill it in
//   The handle table   numbers for handles, the cookie share (Shared)
//   HttpClientCurl     the interface, call for call
// Locking: the handle table has a lock of its own; everything a request
// touches, curl's callbacks included, runs with its session's lock held.

#include "platform/posix/HttpClientCurl.h"

#include <curl/curl.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/posix/AsciiText.h"
#include "platform/posix/ByteQueue.h"
#include "platform/posix/Cp932.h"

namespace orv::posix {

namespace {

// ---------------------------------------------------------------------------
// Limits
// ---------------------------------------------------------------------------

// What a session waits when SetTimeout was never called for an option.
constexpr std::uint32_t kDefaultTimeout = 60000;
// curl's receive buffer, and so the size of the blocks the write callback
// hands over. Measured on loopback: curl's 16 KiB default spends its time in
// calls, while 512 KiB blocks push curl's buffer and the pull buffer out of
// the processor's cache and cost a quarter of the throughput. 64 KiB was the
// fastest of 16 KiB to 1 MiB.
constexpr long kReceiveBufferSize = 64 * 1024;
// The pull buffer stops the transfer above this, so a body of any size costs
// a bounded amount of memory when the launcher reads it slowly; small enough
// to stay in the cache as well.
constexpr std::size_t kPauseAbove = 1024 * 1024;
// A server that redirects forever is given up on after this many hops.
constexpr long kMaxRedirects = 20;
// Response headers of one exchange, redirects included, beyond which the
// server is not speaking HTTP any more (or is feeding headers that never end).
constexpr std::size_t kMaxHeaderBytes = 256 * 1024;
// The longest single wait of the transfer loop when no time-out is closer, so
// curl's own timers (connect time-out, happy eyeballs) are served.
constexpr int kLongestPollMs = 1000;

// The clock of every time-out.
std::uint64_t NowMs()
{
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

// ---------------------------------------------------------------------------
// curl and trust
// ---------------------------------------------------------------------------

// curl_global_init is not to be raced with other curl calls; a function-local
// static runs it exactly once, whichever thread gets there first.
void InitCurlOnce()
{
  static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
  static_cast<void>(initialised);
}

std::string ReadWholeFile(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The system's CA bundle followed by the extra file, or "" when there is no
// extra file: then curl's own defaults already are the system's bundle.
// CURLOPT_CAINFO replaces the default bundle instead of adding to it, hence
// one combined PEM.
std::string CombinedCaBundle(const std::string& extraCaFile)
{
  if (extraCaFile.empty())
    return {};
  std::string extra = ReadWholeFile(extraCaFile);
  std::string native;
  // The name comes from the launcher's settings, which are Shift_JIS.
  if (extra.empty() && ToNativePath(extraCaFile, native))
    extra = ReadWholeFile(native);
  if (extra.empty())
    return {};

  std::string system;
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  for (const char* candidate : {info && info->cainfo ? info->cainfo : "",
                                "/etc/ssl/certs/ca-certificates.crt",
                                "/etc/pki/tls/certs/ca-bundle.crt"}) {
    if (*candidate == '\0')
      continue;
    system = ReadWholeFile(candidate);
    if (!system.empty())
      break;
  }
  return system + "\n" + extra;
}

// ---------------------------------------------------------------------------
// On the wire: what the launcher's arguments may put into a request
// ---------------------------------------------------------------------------

bool IsTokenCharacter(char c)
{
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool IsToken(std::string_view text)
{
  return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenCharacter);
}

// A host name or an address as it may stand in a URL. Anything else could
// smuggle a path or a user name into the URL, so it is refused.
bool IsValidHost(std::string_view host)
{
  if (host.empty())
    return false;
  const bool ipv6 = host.find(':') != std::string_view::npos;
  return std::all_of(host.begin(), host.end(), [ipv6](char c) {
    if (ipv6)
      return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
             c == ':' || c == '.';
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '-' || c == '_';
  });
}

// The path as it goes on the request line. A space or a control byte cannot
// stand there (CR LF would even start a header of its own), so those are
// percent-encoded; every other byte is sent as given.
std::string RequestTarget(std::string_view path)
{
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string target;
  target.reserve(path.size() + 1);
  if (path.empty() || path.front() != '/')
    target += '/';
  for (const char c : path) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F) {
      target += '%';
      target += kHex[byte >> 4];
      target += kHex[byte & 0xF];
    } else {
      target += c;
    }
  }
  return target;
}

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

std::uint32_t ErrorOfCurl(CURLcode code, long osErrno)
{
  switch (code) {
    case CURLE_OK:
      return 0;
    case CURLE_COULDNT_RESOLVE_HOST:
      return err::kInternetNameNotResolved;
    case CURLE_COULDNT_CONNECT:
      return err::kInternetCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return err::kInternetTimeout;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return err::kInternetInvalidCa;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED:
      return err::kInternetSecurityChannelError;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    // What curl answers a reply without a status line (an HTTP/0.9 answer).
    case CURLE_UNSUPPORTED_PROTOCOL:
      return err::kHttpInvalidServerResponse;
    case CURLE_PARTIAL_FILE:
      return err::kInternetConnectionAborted;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return osErrno == ECONNRESET || osErrno == EPIPE ? err::kInternetConnectionReset
                                                      : err::kInternetConnectionAborted;
    case CURLE_TOO_MANY_REDIRECTS:
      return err::kHttpRedirectFailed;
    case CURLE_OUT_OF_MEMORY:
      return err::kNotEnoughMemory;
    default:
      return err::kInternetInternalError;
  }
}

// curl's own words for a failed transfer: its code and text, the detail its
// error buffer holds (the certificate check that failed, the address that
// refused) and the system's error where there was one. The launcher's
// number folds many of these into one.
std::string CurlReason(CURLcode code, const char* detail, long osErrno)
{
  std::string reason = "curl error " + std::to_string(static_cast<int>(code)) + " (" +
                       curl_easy_strerror(code) + ")";
  if (detail && *detail != '\0') {
    std::string_view text = detail;
    while (!text.empty() && text.back() == '\n')
      text.remove_suffix(1);
    reason += ": ";
    reason += text;
  }
  if (osErrno != 0) {
    reason += "; system error " + std::to_string(osErrno) + " (" +
              std::error_code(static_cast<int>(osErrno), std::generic_category()).message() + ")";
  }
  return reason;
}

// ---------------------------------------------------------------------------
// Handles: a session (the internet handle), a connection and a request, each
// an Object the handle table holds. A child holds its parent, so a parent
// closed first lives on until its last child goes.
// ---------------------------------------------------------------------------

enum class Kind { Internet, Connection, Request };

struct Object {
  explicit Object(Kind kind) : kind(kind) {}
  virtual ~Object() = default;
  const Kind kind;
};

// An internet handle. Its multi handle keeps the connections of the session
// alive between exchanges, so the requests of one session reuse them.
struct Session final : Object {
  Session() : Object(Kind::Internet), multi(curl_multi_init()) {}
  ~Session() override
  {
    if (multi)
      curl_multi_cleanup(multi);
  }

  CURLM* const multi;
  // A multi handle is not to be used from two threads at once; the requests
  // of the session take turns driving it.
  std::mutex lock;
  std::atomic<std::uint32_t> connectTimeout{kDefaultTimeout};
  std::atomic<std::uint32_t> sendTimeout{kDefaultTimeout};
  std::atomic<std::uint32_t> receiveTimeout{kDefaultTimeout};
  // Fixed when the session is opened, before any request can read it.
  HttpClient::Proxy proxy;
  // Set from another thread to stop the session's work for good; the
  // transfer loop looks at it before every wait and is woken to do so.
  std::atomic<bool> aborted{false};
};

// A connection handle: where the requests go. Nothing is opened until a
// request is sent.
struct Connection final : Object {
  Connection(std::shared_ptr<Session> session, std::string host, std::uint16_t port)
      : Object(Kind::Connection), session(std::move(session)), host(std::move(host)), port(port)
  {
  }
  const std::shared_ptr<Session> session;
  const std::string host;
  const std::uint16_t port;
};

// ---------------------------------------------------------------------------
// The request
// ---------------------------------------------------------------------------

// A request handle and the exchange it carries. Every member is used with
// the session's lock held: curl calls the callbacks below from inside the
// session's multi handle, whichever request of the session drives it.
class Request final : public Object {
 public:
  Request(std::shared_ptr<Connection> connection, std::string verb, std::string path,
          std::string referrer, std::uint32_t flags)
      : Object(Kind::Request),
        m_connection(std::move(connection)),
        m_session(*m_connection->session),
        m_verb(std::move(verb)),
        m_path(std::move(path)),
        m_referrer(std::move(referrer)),
        m_flags(flags)
  {
  }

  ~Request() override
  {
    std::lock_guard<std::mutex> lock(m_session.lock);
    Discard();
  }

  // --- The launcher's calls ---

  std::uint32_t Send(CURLSH* cookies, const std::string& caBundle, std::string headers,
                     std::string body)
  {
    std::lock_guard<std::mutex> lock(m_session.lock);
    Discard();
    m_body = std::move(body);
    m_sent = true;
    if (m_session.aborted)
      return Fail(err::kInternetOperationCancelled);
    if (!IsValidHost(m_connection->host))
      return Fail(err::kInternetNameNotResolved);
    m_easy = curl_easy_init();
    if (!m_easy)
      return Fail(err::kNotEnoughMemory);
    if (!AddHeaders(headers))
      return Fail(err::kNotEnoughMemory);
    if (!Configure(cookies, caBundle))
      return Fail(err::kInternetInternalError);
    if (curl_multi_add_handle(m_session.multi, m_easy) != CURLM_OK)
      return Fail(err::kInternetInternalError);
    m_attached = true;

    Drive([this] { return m_headersDone; });
    if (m_headersDone)
      return 0;
    return m_error != 0 ? m_error : Fail(err::kHttpInvalidServerResponse);
  }

  std::uint32_t QueryNumber(std::uint32_t infoLevel, std::uint32_t& value)
  {
    std::lock_guard<std::mutex> lock(m_session.lock);
    if ((infoLevel & HttpClient::kQueryFlagNumber) == 0)
      return err::kInvalidParameter;
    const std::uint32_t query = infoLevel & ~HttpClient::kQueryFlagNumber;
    if (query != HttpClient::kQueryStatusCode && query != HttpClient::kQueryContentLength)
      return err::kInvalidParameter;
    if (!m_sent)
      return err::kInternetIncorrectHandleState;
    if (!m_headersDone)
      return err::kHttpHeaderNotFound;
    if (query == HttpClient::kQueryStatusCode) {
      value = m_final.status;
      return 0;
    }
    // A chunked body's length is whatever the chunks add up to; a
    // Content-Length beside it says nothing about the body that arrives.
    if (!m_final.contentLength || m_final.chunked)
      return err::kHttpHeaderNotFound;
    if (m_final.lengthInvalid || *m_final.contentLength > 0xFFFFFFFFu)
      return err::kInvalidData;
    value = static_cast<std::uint32_t>(*m_final.contentLength);
    return 0;
  }

  std::uint32_t QueryHeader(std::string_view name, std::string& value)
  {
    std::lock_guard<std::mutex> lock(m_session.lock);
    if (!m_sent)
      return err::kInternetIncorrectHandleState;
    if (!m_headersDone || name.empty())
      return err::kHttpHeaderNotFound;
    for (const std::string& line : m_final.lines) {
      const std::string_view text = line;
      if (text.size() > name.size() && text[name.size()] == ':' && StartsWithNoCase(text, name)) {
        value = std::string(TrimLine(text.substr(name.size() + 1)));
        return 0;
      }
    }
    return err::kHttpHeaderNotFound;
  }

  std::uint32_t QueryDataAvailable(std::uint32_t& available)
  {
    std::lock_guard<std::mutex> lock(m_session.lock);
    if (!m_sent)  // nothing to read before the request has gone out
      return err::kInternetIncorrectHandleState;
    if (m_queue.empty() && !m_finished)
      Drive([this] { return !m_queue.empty(); });
    available = static_cast<std::uint32_t>(std::min<std::size_t>(m_queue.size(), 0xFFFFFFFFu));
    if (available != 0)
      return 0;
    // The bytes that came before an error are delivered first, then the error.
    return m_error;
  }

  std::uint32_t Read(void* buffer, std::uint32_t size, std::uint32_t& read)
  {
    std::lock_guard<std::mutex> lock(m_session.lock);
    read = 0;
    if (!m_sent)
      return err::kInternetIncorrectHandleState;
    if (size == 0)
      return 0;
    if (!buffer)
      return err::kInvalidParameter;
    char* out = static_cast<char*>(buffer);
    std::size_t copied = m_queue.Take(out, size);
    if (copied < size && !m_finished) {
      // The queue is empty now: what arrives goes straight into the caller's
      // buffer, one copy fewer, and a read larger than the pause threshold
      // cannot wait on a transfer that its own buffer has paused.
      m_target = out + copied;
      m_targetRoom = size - copied;
      // A server that trickles a byte now and then never lets the time-out
      // pass; a read holding bytes still returns them within it.
      const std::uint32_t limit = m_session.receiveTimeout.load();
      const std::uint64_t returnBy = limit != 0 ? NowMs() + limit : 0;
      Drive(
          [this, size, returnBy] {
            return m_targetRoom == 0 ||
                   (returnBy != 0 && m_targetRoom < size && NowMs() >= returnBy);
          },
          returnBy);
      copied = size - m_targetRoom;
      m_target = nullptr;
      m_targetRoom = 0;
    }
    read = static_cast<std::uint32_t>(copied);
    if (copied != 0)
      return 0;
    return m_error;
  }

  // The end of this request's transfer, seen by whichever request of the
  // session was driving the multi handle.
  void Finished(CURLcode result)
  {
    m_attached = false;
    m_finished = true;
    m_paused = false;
    if (result == CURLE_OK || m_error != 0)
      return;
    long osErrno = 0;
    curl_easy_getinfo(m_easy, CURLINFO_OS_ERRNO, &osErrno);
    if (m_outOfMemory)
      m_error = err::kNotEnoughMemory;
    else if (m_headerOverflow)
      m_error = err::kHttpInvalidServerResponse;
    // curl turns down a header line beyond its own limit as if memory had
    // run out; that is the server's doing, not this machine's.
    else if (result == CURLE_OUT_OF_MEMORY && !m_headersDone && m_phase == Phase::Receiving)
      m_error = err::kHttpInvalidServerResponse;
    // The error WinINet gives a secure request sent on to plain HTTP.
    else if (m_redirecting && result == CURLE_UNSUPPORTED_PROTOCOL &&
             (m_flags & HttpClient::kSecure) != 0 && m_current.locationPlain)
      m_error = err::kInternetHttpsToHttpOnRedirect;
    else if (m_redirecting &&
             (result == CURLE_URL_MALFORMAT || result == CURLE_UNSUPPORTED_PROTOCOL))
      m_error = err::kHttpRedirectFailed;
    else
      m_error = ErrorOfCurl(result, osErrno);
    m_reason = CurlReason(result, m_errorText, osErrno);
    // A finished transfer that did not succeed never reads as a clean end.
    if (m_error == 0)
      m_error = err::kInternetInternalError;
  }

  // curl's words for the error the exchange ended with; "" when it ended
  // for a reason of this client's own (a time-out, an abort) or error is
  // another.
  std::string Reason(std::uint32_t error)
  {
    std::lock_guard<std::mutex> lock(m_session.lock);
    return error != 0 && error == m_error ? m_reason : std::string();
  }

 private:
  enum class Phase { Connecting, Sending, Receiving };

  // What the headers of one response said.
  struct Response {
    std::uint32_t status = 0;
    bool hasLocation = false;
    // The new location is plain HTTP.
    bool locationPlain = false;
    bool chunked = false;
    std::optional<std::uint64_t> contentLength;
    bool lengthInvalid = false;
    // Every header line, trimmed, as "Name: value"; bounded with the rest of
    // the headers by kMaxHeaderBytes.
    std::vector<std::string> lines;
  };

  // --- Setting up and tearing down an exchange ---

  // Ends whatever exchange the handle carried: a transfer still running is
  // cut (curl closes its connection), everything it left behind goes.
  void Discard()
  {
    if (m_easy) {
      if (m_attached)
        curl_multi_remove_handle(m_session.multi, m_easy);
      curl_easy_cleanup(m_easy);
      m_easy = nullptr;
    }
    if (m_headers) {
      curl_slist_free_all(m_headers);
      m_headers = nullptr;
    }
    m_attached = m_sent = m_finished = m_headersDone = m_paused = false;
    m_outOfMemory = m_headerOverflow = m_redirecting = m_progress = false;
    m_error = 0;
    m_reason.clear();
    m_errorText[0] = '\0';
    m_phase = Phase::Connecting;
    m_current = m_final = Response{};
    m_headerBytes = 0;
    m_uploaded = 0;
    m_queue.Release();
    m_target = nullptr;
    m_targetRoom = 0;
  }

  std::uint32_t Fail(std::uint32_t error)
  {
    if (m_attached) {
      curl_multi_remove_handle(m_session.multi, m_easy);
      m_attached = false;
    }
    m_finished = true;
    m_paused = false;
    if (m_error == 0)
      m_error = error;
    return m_error;
  }

  bool AddHeaders(const std::string& headers)
  {
    bool contentType = false;
    std::size_t start = 0;
    while (start < headers.size()) {
      std::size_t end = headers.find_first_of("\r\n", start);
      if (end == std::string::npos)
        end = headers.size();
      const std::string line = headers.substr(start, end - start);
      start = end + 1;
      if (TrimLine(line).empty())
        continue;
      contentType = contentType || StartsWithNoCase(line, "content-type:");
      if (!Append(line.c_str()))
        return false;
    }
    // curl would announce a form body of its own accord, and ask for a
    // 100-continue round trip before a large body; the launcher's requests
    // carry exactly the header lines it gives.
    if (!contentType && !Append("Content-Type:"))
      return false;
    return Append("Expect:");
  }

  bool Append(const char* line)
  {
    curl_slist* grown = curl_slist_append(m_headers, line);
    if (!grown)
      return false;
    m_headers = grown;
    return true;
  }

  bool Configure(CURLSH* cookies, const std::string& caBundle)
  {
    const bool secure = (m_flags & HttpClient::kSecure) != 0;
    const std::string& host = m_connection->host;
    std::string url = secure ? "https://" : "http://";
    url += host.find(':') != std::string::npos ? "[" + host + "]" : host;
    // Port 0 is the scheme's own port.
    if (m_connection->port != 0)
      url += ":" + std::to_string(m_connection->port);
    url += RequestTarget(m_path);

    CURL* const e = m_easy;
    bool ok = curl_easy_setopt(e, CURLOPT_URL, url.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_PRIVATE, static_cast<void*>(this)) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_ERRORBUFFER, m_errorText) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    // A secure request never goes on in clear: a redirect to http would
    // carry a sign-in form's body and the cookies of its answers unencrypted.
    ok = ok && curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https") ==
                   CURLE_OK;
    // Left unset, curl takes the proxy from http_proxy, https_proxy and
    // no_proxy as every other program of the desktop does; "" goes direct.
    const HttpClient::Proxy& proxy = m_session.proxy;
    if (proxy.mode == HttpClient::ProxyMode::Direct)
      ok = ok && curl_easy_setopt(e, CURLOPT_PROXY, "") == CURLE_OK;
    else if (proxy.mode == HttpClient::ProxyMode::Server)
      ok = ok && curl_easy_setopt(e, CURLOPT_PROXY, ("http://" + proxy.server).c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_HTTP_VERSION,
                                static_cast<long>(CURL_HTTP_VERSION_1_1)) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK;
    // The body arrives as the server sent it, so it matches its Content-Length.
    ok = ok && curl_easy_setopt(e, CURLOPT_HTTP_CONTENT_DECODING, 0L) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBufferSize) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                                static_cast<long>(m_session.connectTimeout.load())) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Request::OnHeader) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_HEADERDATA, static_cast<void*>(this)) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Request::OnBody) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_WRITEDATA, static_cast<void*>(this)) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &Request::OnPrerequest) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_PREREQDATA, static_cast<void*>(this)) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_HTTPHEADER, m_headers) == CURLE_OK;
    if (!m_referrer.empty())
      ok = ok && curl_easy_setopt(e, CURLOPT_REFERER, m_referrer.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
    if (!caBundle.empty()) {
      curl_blob blob{const_cast<char*>(caBundle.data()), caBundle.size(), CURL_BLOB_COPY};
      ok = ok && curl_easy_setopt(e, CURLOPT_CAINFO_BLOB, &blob) == CURLE_OK;
    }
    if ((m_flags & HttpClient::kNoCookies) == 0) {
      ok = ok && curl_easy_setopt(e, CURLOPT_SHARE, cookies) == CURLE_OK;
      // "" switches the cookie engine on without reading any file.
      ok = ok && curl_easy_setopt(e, CURLOPT_COOKIEFILE, "") == CURLE_OK;
    }

    if (m_verb == "GET" && m_body.empty()) {
      ok = ok && curl_easy_setopt(e, CURLOPT_HTTPGET, 1L) == CURLE_OK;
    } else if (m_verb == "HEAD") {
      ok = ok && curl_easy_setopt(e, CURLOPT_NOBODY, 1L) == CURLE_OK;
    } else {
      if (m_verb == "POST" || !m_body.empty()) {
        ok = ok && curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                                    static_cast<curl_off_t>(m_body.size())) == CURLE_OK;
        ok = ok && curl_easy_setopt(e, CURLOPT_POSTFIELDS, m_body.data()) == CURLE_OK;
      }
      if (m_verb != "POST")
        ok = ok && curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, m_verb.c_str()) == CURLE_OK;
    }
    return ok;
  }

  // --- The transfer loop ---

  // Runs the session's transfers until done() holds, this transfer ends, or
  // the time-out of the phase it is in passes without progress. The clock
  // starts anew with every call: time the launcher spends between two reads
  // is not the server's delay. done() is asked again by wakeBy (a NowMs
  // time, 0 for none) even when nothing arrives.
  template <class Done>
  void Drive(Done done, std::uint64_t wakeBy = 0)
  {
    if (m_paused) {
      m_paused = false;
      curl_easy_pause(m_easy, CURLPAUSE_CONT);
    }
    std::uint64_t lastProgress = NowMs();
    for (;;) {
      if (m_session.aborted) {
        // A name lookup still under way is left to end on its own thread:
        // curl would otherwise wait for it when the transfer is removed.
        curl_easy_setopt(m_easy, CURLOPT_QUICK_EXIT, 1L);
        Fail(err::kInternetOperationCancelled);
        return;
      }
      int running = 0;
      if (curl_multi_perform(m_session.multi, &running) != CURLM_OK) {
        Fail(err::kInternetInternalError);
        return;
      }
      CollectFinished(m_session.multi);
      if (m_finished || done())
        return;

      const std::uint64_t now = NowMs();
      if (m_progress) {
        m_progress = false;
        lastProgress = now;
      }
      if (m_phase == Phase::Sending) {
        curl_off_t uploaded = 0;
        curl_easy_getinfo(m_easy, CURLINFO_SIZE_UPLOAD_T, &uploaded);
        if (uploaded != m_uploaded) {
          m_uploaded = uploaded;
          lastProgress = now;
        }
        if (uploaded >= static_cast<curl_off_t>(m_body.size()))
          m_phase = Phase::Receiving;
      }

      // While connecting, curl's own connect time-out is the limit.
      std::uint32_t limit = 0;
      if (m_phase == Phase::Sending)
        limit = m_session.sendTimeout.load();
      else if (m_phase == Phase::Receiving)
        limit = m_session.receiveTimeout.load();
      int wait = kLongestPollMs;
      if (limit != 0) {
        const std::uint64_t quiet = now - lastProgress;
        if (quiet >= limit) {
          Fail(err::kInternetTimeout);
          return;
        }
        wait = static_cast<int>(std::min<std::uint64_t>(limit - quiet, kLongestPollMs));
      }
      if (wakeBy != 0)
        wait = static_cast<int>(std::min<std::uint64_t>(wait, wakeBy > now ? wakeBy - now : 0));
      if (curl_multi_poll(m_session.multi, nullptr, 0, wait, nullptr) != CURLM_OK) {
        Fail(err::kInternetInternalError);
        return;
      }
    }
  }

  static void CollectFinished(CURLM* multi)
  {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg != CURLMSG_DONE)
        continue;
      CURL* const easy = message->easy_handle;
      const CURLcode result = message->data.result;
      void* owner = nullptr;
      curl_easy_getinfo(easy, CURLINFO_PRIVATE, &owner);
      // Detached at once: the connection goes back to the session's cache
      // for the next exchange.
      curl_multi_remove_handle(multi, easy);
      if (owner)
        static_cast<Request*>(owner)->Finished(result);
    }
  }

  // --- curl's callbacks, called from inside Drive ---

  static size_t OnHeader(char* data, size_t size, size_t count, void* user)
  {
    Request& self = *static_cast<Request*>(user);
    const size_t length = size * count;
    self.m_progress = true;
    // Trailers of a chunked body come here as well; they change nothing.
    if (self.m_headersDone)
      return length;
    self.m_headerBytes += length;
    if (self.m_headerBytes > kMaxHeaderBytes) {
      self.m_headerOverflow = true;
      return 0;
    }
    self.m_phase = Phase::Receiving;
    const std::string_view line = TrimLine(std::string_view(data, length));
    if (!line.empty() && (line.size() < 5 || line.substr(0, 5) != "HTTP/"))
      self.m_current.lines.emplace_back(line);

    if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
      self.m_current = Response{};
      const std::size_t space = line.find(' ');
      if (space != std::string_view::npos) {
        const std::string_view code = line.substr(space + 1, 3);
        if (const auto status = ParseDecimal(code); status && code.size() == 3)
          self.m_current.status = static_cast<std::uint32_t>(*status);
      }
    } else if (line.empty()) {
      self.EndOfResponseHeaders();
    } else if (StartsWithNoCase(line, "content-length:")) {
      const auto value = ParseDecimal(TrimLine(line.substr(15)));
      Response& current = self.m_current;
      if (!value || (current.contentLength && *current.contentLength != *value))
        current.lengthInvalid = true;
      if (value)
        current.contentLength = value;
      else if (!current.contentLength)
        current.contentLength = 0;
    } else if (StartsWithNoCase(line, "transfer-encoding:")) {
      self.m_current.chunked = self.m_current.chunked || ContainsNoCase(line, "chunked");
    } else if (StartsWithNoCase(line, "location:")) {
      const std::string_view location = TrimLine(line.substr(9));
      self.m_current.hasLocation = !location.empty();
      self.m_current.locationPlain = StartsWithNoCase(location, "http:");
    }
    return length;
  }

  void EndOfResponseHeaders()
  {
    const std::uint32_t status = m_current.status;
    // An interim answer: the real one follows on the same connection.
    if (status >= 100 && status < 200)
      return;
    // curl follows every 3xx that names a new location; the next leg starts
    // with a connection of its own, under the connect time-out.
    if (status >= 300 && status < 400 && m_current.hasLocation) {
      m_redirecting = true;
      m_phase = Phase::Connecting;
      return;
    }
    m_final = m_current;
    m_headersDone = true;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* user)
  {
    Request& self = *static_cast<Request*>(user);
    const size_t length = size * count;
    try {
      if (self.m_targetRoom != 0 && self.m_queue.empty()) {
        const size_t direct = std::min(length, self.m_targetRoom);
        std::memcpy(self.m_target, data, direct);
        self.m_target += direct;
        self.m_targetRoom -= direct;
        self.m_queue.Append(data + direct, length - direct);
      } else if (self.m_queue.size() >= kPauseAbove) {
        // curl keeps these bytes and hands them over again on resumption.
        self.m_paused = true;
        return CURL_WRITEFUNC_PAUSE;
      } else {
        self.m_queue.Append(data, length);
      }
    } catch (const std::bad_alloc&) {
      self.m_outOfMemory = true;
      return 0;
    }
    self.m_progress = true;
    return length;
  }

  static int OnPrerequest(void* user, char*, char*, int, int)
  {
    Request& self = *static_cast<Request*>(user);
    // After a 301, 302 or 303 a POST goes on as a GET, without its body.
    char* method = nullptr;
    curl_easy_getinfo(self.m_easy, CURLINFO_EFFECTIVE_METHOD, &method);
    const bool bodyGoesOut = !self.m_body.empty() && method && std::strcmp(method, "GET") != 0 &&
                             std::strcmp(method, "HEAD") != 0;
    self.m_phase = bodyGoesOut ? Phase::Sending : Phase::Receiving;
    self.m_uploaded = 0;
    self.m_redirecting = false;
    self.m_progress = true;
    return CURL_PREREQFUNC_OK;
  }

  // --- State ---

  const std::shared_ptr<Connection> m_connection;
  Session& m_session;
  const std::string m_verb;
  const std::string m_path;
  const std::string m_referrer;
  const std::uint32_t m_flags;

  CURL* m_easy = nullptr;
  curl_slist* m_headers = nullptr;
  std::string m_body;
  // The easy handle is in the session's multi handle.
  bool m_attached = false;
  // SendRequest was called: reads have an exchange to read from.
  bool m_sent = false;
  bool m_finished = false;
  bool m_headersDone = false;
  bool m_paused = false;
  bool m_progress = false;
  bool m_redirecting = false;
  bool m_outOfMemory = false;
  bool m_headerOverflow = false;
  // The error that ended the exchange; reported once the bytes before it are read.
  std::uint32_t m_error = 0;
  // What curl said of it, and the detail of its error buffer.
  std::string m_reason;
  char m_errorText[CURL_ERROR_SIZE] = {};
  Phase m_phase = Phase::Connecting;
  curl_off_t m_uploaded = 0;
  std::size_t m_headerBytes = 0;
  Response m_current;
  Response m_final;
  ByteQueue m_queue;
  // Where a Read in progress wants its bytes, and how many more it takes.
  char* m_target = nullptr;
  std::size_t m_targetRoom = 0;
};

}  // namespace

// ---------------------------------------------------------------------------
// The handle table
// ---------------------------------------------------------------------------

struct HttpClientCurl::Shared {
  explicit Shared(const std::string& extraCaFile) : caBundle(CombinedCaBundle(extraCaFile))
  {
    cookies = curl_share_init();
    if (cookies) {
      curl_share_setopt(cookies, CURLSHOPT_LOCKFUNC, &Shared::Lock);
      curl_share_setopt(cookies, CURLSHOPT_UNLOCKFUNC, &Shared::Unlock);
      curl_share_setopt(cookies, CURLSHOPT_USERDATA, static_cast<void*>(this));
      curl_share_setopt(cookies, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    }
  }

  ~Shared()
  {
    // The easy handles go first: a share in use cannot be cleaned up.
    handles.clear();
    if (cookies)
      curl_share_cleanup(cookies);
  }

  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user)
  {
    static_cast<Shared*>(user)->shareLocks[Slot(data)].lock();
  }

  static void Unlock(CURL*, curl_lock_data data, void* user)
  {
    static_cast<Shared*>(user)->shareLocks[Slot(data)].unlock();
  }

  static std::size_t Slot(curl_lock_data data)
  {
    const auto slot = static_cast<std::size_t>(data);
    return slot < CURL_LOCK_DATA_LAST ? slot : 0;
  }

  HttpHandle Register(std::shared_ptr<Object> object)
  {
    std::lock_guard<std::mutex> lock(handlesLock);
    // Handles are numbers, never addresses: a stale or made-up handle finds
    // nothing instead of touching freed memory.
    const std::uintptr_t id = ++lastId;
    handles.emplace(id, std::move(object));
    return reinterpret_cast<HttpHandle>(id);
  }

  template <class T>
  std::uint32_t Find(HttpHandle handle, Kind kind, std::shared_ptr<T>& found)
  {
    if (!handle)
      return err::kInvalidHandle;
    std::lock_guard<std::mutex> lock(handlesLock);
    const auto it = handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles.end())
      return err::kInvalidHandle;
    if (it->second->kind != kind)
      return err::kInternetIncorrectHandleType;
    found = std::static_pointer_cast<T>(it->second);
    return 0;
  }

  std::shared_ptr<Object> Unregister(HttpHandle handle)
  {
    std::lock_guard<std::mutex> lock(handlesLock);
    const auto it = handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles.end())
      return nullptr;
    std::shared_ptr<Object> object = std::move(it->second);
    handles.erase(it);
    return object;
  }

  CURLSH* cookies = nullptr;
  std::mutex shareLocks[CURL_LOCK_DATA_LAST];
  const std::string caBundle;
  std::mutex handlesLock;
  std::unordered_map<std::uintptr_t, std::shared_ptr<Object>> handles;
  std::uintptr_t lastId = 0;
};

// ---------------------------------------------------------------------------
// HttpClientCurl: the interface, call for call
// ---------------------------------------------------------------------------

HttpClientCurl::HttpClientCurl(std::string extraCaFile)
{
  InitCurlOnce();
  m_shared = std::make_unique<Shared>(extraCaFile);
}

HttpClientCurl::~HttpClientCurl() = default;

std::uint32_t HttpClientCurl::OpenInternet(HttpHandle& internet, const Proxy& proxy)
{
  internet = nullptr;
  if (!m_shared->cookies)
    return err::kNotEnoughMemory;
  // A name that is not one host and port would turn into another URL.
  if (proxy.mode == ProxyMode::Server &&
      (proxy.server.empty() || proxy.server.find_first_of("/@?# \t\r\n") != std::string::npos))
    return err::kInvalidParameter;
  auto session = std::make_shared<Session>();
  if (!session->multi)
    return err::kNotEnoughMemory;
  session->proxy = proxy;
  internet = m_shared->Register(std::move(session));
  return 0;
}

std::uint32_t HttpClientCurl::SetTimeout(HttpHandle internet, std::uint32_t option,
                                         std::uint32_t milliseconds)
{
  std::shared_ptr<Session> session;
  if (const std::uint32_t error = m_shared->Find(internet, Kind::Internet, session))
    return error;
  switch (option) {
    case kConnectTimeout:
      session->connectTimeout = milliseconds;
      return 0;
    case kSendTimeout:
    case kHttpSendTimeout:
      session->sendTimeout = milliseconds;
      return 0;
    case kReceiveTimeout:
    case kHttpReceiveTimeout:
      session->receiveTimeout = milliseconds;
      return 0;
    default:
      return err::kInvalidParameter;
  }
}

std::uint32_t HttpClientCurl::Connect(HttpHandle internet, const char* host, std::uint16_t port,
                                      HttpHandle& connection)
{
  connection = nullptr;
  std::shared_ptr<Session> session;
  if (const std::uint32_t error = m_shared->Find(internet, Kind::Internet, session))
    return error;
  if (!host)
    return err::kInvalidParameter;
  connection = m_shared->Register(std::make_shared<Connection>(std::move(session), host, port));
  return 0;
}

std::uint32_t HttpClientCurl::OpenRequest(HttpHandle connection, const char* verb,
                                          const char* path, const char* referrer,
                                          std::uint32_t flags, HttpHandle& request)
{
  request = nullptr;
  std::shared_ptr<Connection> owner;
  if (const std::uint32_t error = m_shared->Find(connection, Kind::Connection, owner))
    return error;
  const std::string method = verb ? verb : "GET";
  const std::string referer = referrer ? referrer : "";
  // A verb that is not one word, or a referrer with a line break in it,
  // would write header lines of its own into the request.
  const bool referrerClean = std::none_of(referer.begin(), referer.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
  });
  if (!IsToken(method) || !referrerClean)
    return err::kInvalidParameter;
  request = m_shared->Register(
      std::make_shared<Request>(std::move(owner), method, path ? path : "/", referer, flags));
  return 0;
}

std::uint32_t HttpClientCurl::SendRequest(HttpHandle request, const char* headers,
                                          std::uint32_t headersLength, const void* body,
                                          std::uint32_t bodyLength)
{
  std::shared_ptr<Request> exchange;
  if (const std::uint32_t error = m_shared->Find(request, Kind::Request, exchange))
    return error;
  std::string lines;
  if (headers) {
    // The header block ends at its length or at a NUL, whichever comes first,
    // as a C string would.
    const std::size_t length = headersLength == kHeadersTerminated
                                   ? std::strlen(headers)
                                   : strnlen(headers, headersLength);
    lines.assign(headers, length);
  }
  if (!body && bodyLength != 0)
    return err::kInvalidParameter;
  std::string content = body ? std::string(static_cast<const char*>(body), bodyLength) : "";
  return exchange->Send(m_shared->cookies, m_shared->caBundle, std::move(lines),
                        std::move(content));
}

std::uint32_t HttpClientCurl::QueryNumber(HttpHandle request, std::uint32_t infoLevel,
                                          std::uint32_t& value)
{
  std::shared_ptr<Request> exchange;
  if (const std::uint32_t error = m_shared->Find(request, Kind::Request, exchange))
    return error;
  return exchange->QueryNumber(infoLevel, value);
}

std::uint32_t HttpClientCurl::QueryHeader(HttpHandle request, const char* name, std::string& value)
{
  std::shared_ptr<Request> exchange;
  if (const std::uint32_t error = m_shared->Find(request, Kind::Request, exchange))
    return error;
  return exchange->QueryHeader(name ? name : "", value);
}

std::uint32_t HttpClientCurl::QueryDataAvailable(HttpHandle request, std::uint32_t& available)
{
  available = 0;
  std::shared_ptr<Request> exchange;
  if (const std::uint32_t error = m_shared->Find(request, Kind::Request, exchange))
    return error;
  return exchange->QueryDataAvailable(available);
}

std::uint32_t HttpClientCurl::Read(HttpHandle request, void* buffer, std::uint32_t size,
                                   std::uint32_t& read)
{
  read = 0;
  std::shared_ptr<Request> exchange;
  if (const std::uint32_t error = m_shared->Find(request, Kind::Request, exchange))
    return error;
  return exchange->Read(buffer, size, read);
}

std::string HttpClientCurl::FailureReason(HttpHandle handle, std::uint32_t error)
{
  // Only a request carries a transfer, and so words of curl's.
  std::shared_ptr<Request> exchange;
  if (m_shared->Find(handle, Kind::Request, exchange) != 0)
    return {};
  // curl's and the system's words come in the locale's UTF-8 (Japanese on
  // a player's desktop); the launcher's log is Shift_JIS throughout.
  const std::string reason = exchange->Reason(error);
  std::string text;
  if (Utf8ToCp932(reason, text))
    return text;
  text.clear();
  for (const char c : reason)
    text += static_cast<unsigned char>(c) < 0x80 ? c : '?';
  return text;
}

void HttpClientCurl::Abort(HttpHandle internet)
{
  std::shared_ptr<Session> session;
  if (m_shared->Find(internet, Kind::Internet, session) != 0)
    return;
  session->aborted = true;
  // A transfer loop asleep in the poll sees the flag now, not when the
  // server or its time-out next wakes it.
  curl_multi_wakeup(session->multi);
}

void HttpClientCurl::Close(HttpHandle handle)
{
  if (!handle)
    return;
  // A connection or session closed before its requests lives on until the
  // last of them is closed: each request holds its parents.
  std::shared_ptr<Object> object = m_shared->Unregister(handle);
  object.reset();
}

}  // namespace orv::posix
