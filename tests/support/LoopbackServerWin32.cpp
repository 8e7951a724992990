// The loopback servers on Winsock, for the tests that run under wine: the
// same behaviour as the Linux servers. HTTPS is the plain server with the
// native TLS front (tools/tls_front) in front of it: WinINet speaks TLS to
// the front, which relays the bytes to the plain server and passes each end
// of a connection on.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "support/LoopbackContent.h"
#include "support/LoopbackServer.h"
#include "support/SocketServerWin32.h"
#include "support/TlsFrontWin32.h"

namespace orv::test {

namespace {

namespace fs = std::filesystem;

using winsock::kIdleMs;
using winsock::ReadRequest;
using winsock::ReasonPhrase;
using winsock::SendAll;
using winsock::SocketServer;
using winsock::WaitFor;

// How much of a streamed body is made at once.
constexpr std::size_t kStreamSlice = 256 * 1024;

// What a route answers: a body in memory, or one made while it is sent.
struct Answer {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  bool chunked = false;
  std::string body;
  // When set, the body is streamSize bytes that stream(offset, out, size)
  // fills; it returns false to cut the connection.
  std::function<bool(std::uint64_t, char*, std::size_t)> stream;
  std::uint64_t streamSize = 0;
};

bool SendAnswer(SOCKET client, const Answer& answer, bool headOnly, bool keepAlive,
                const std::atomic<bool>& stopping)
{
  std::string head = "HTTP/1.1 " + std::to_string(answer.status) + " " +
                     ReasonPhrase(answer.status) + "\r\n";
  bool typed = false;
  for (const auto& [name, value] : answer.headers) {
    head += name + ": " + value + "\r\n";
    typed = typed || loopback::EqualNoCase(name, "Content-Type");
  }
  if (!typed)
    head += answer.stream ? "Content-Type: application/octet-stream\r\n"
                          : "Content-Type: text/plain\r\n";
  const std::uint64_t size = answer.stream ? answer.streamSize : answer.body.size();
  if (answer.chunked)
    head += "Transfer-Encoding: chunked\r\n";
  else
    head += "Content-Length: " + std::to_string(size) + "\r\n";
  head += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
  if (headOnly)
    return SendAll(client, head.data(), head.size(), stopping);

  if (answer.chunked) {
    char sizeLine[32];
    std::snprintf(sizeLine, sizeof sizeLine, "%zx\r\n", answer.body.size());
    head += answer.body.empty() ? "0\r\n\r\n" : sizeLine + answer.body + "\r\n0\r\n\r\n";
    return SendAll(client, head.data(), head.size(), stopping);
  }
  if (!answer.stream) {
    head += answer.body;
    return SendAll(client, head.data(), head.size(), stopping);
  }
  if (!SendAll(client, head.data(), head.size(), stopping))
    return false;
  std::vector<char> block(kStreamSlice);
  for (std::uint64_t offset = 0; offset < size;) {
    const std::size_t slice =
        static_cast<std::size_t>(std::min<std::uint64_t>(kStreamSlice, size - offset));
    if (stopping || !answer.stream(offset, block.data(), slice) ||
        !SendAll(client, block.data(), slice, stopping))
      return false;
    offset += slice;
  }
  return true;
}

// The one range "bytes=first-last", "bytes=first-" or "bytes=-suffix" of a
// body of size bytes asks for, last cut to the end; false for none, for
// several or for one that makes no sense, which the whole body answers.
bool SingleRange(const std::string& range, std::uint64_t size, std::uint64_t& first,
                 std::uint64_t& last)
{
  const auto number = [](const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos)
      return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
  };
  if (range.rfind("bytes=", 0) != 0 || range.find(',') != std::string::npos)
    return false;
  const std::string spec = range.substr(6);
  const std::size_t dash = spec.find('-');
  if (dash == std::string::npos)
    return false;
  last = size == 0 ? 0 : size - 1;
  std::uint64_t value = 0;
  if (dash == 0) {
    if (!number(spec.substr(1), value) || value == 0)
      return false;
    first = value >= size ? 0 : size - value;
    return true;
  }
  if (!number(spec.substr(0, dash), first))
    return false;
  if (dash + 1 == spec.size())
    return true;
  if (!number(spec.substr(dash + 1), value) || value < first)
    return false;
  last = std::min(last, value);
  return true;
}

}  // namespace

// --- LoopbackServer ---

struct LoopbackServer::Impl {
  using Route = std::function<Answer(const HttpRequestSeen&)>;

  explicit Impl(Scheme scheme) : port(server.port())
  {
    // A front that cannot listen throws, and the plain server stops as the
    // members go.
    if (scheme != Scheme::Http) {
      TlsFront& tls = TlsFront::Get();
      caFile = tls.authorityFile();
      port = tls.Forward(server.port(), scheme == Scheme::HttpsForAnotherName);
      front = &tls;
    }
  }

  ~Impl()
  {
    // The TLS connections go first, with the listener in front of them.
    if (front) {
      try {
        front->Stop(port);
      } catch (const std::exception&) {
        // A front that has gone has closed them all.
      }
    }
    // Before the routes and records its threads use.
    server.Stop();
  }

  void Serve(SOCKET client, const std::atomic<bool>& stopping)
  {
    std::string bytes;
    for (;;) {
      HttpRequestSeen request;
      bool keepAlive = false;
      if (!ReadRequest(client, bytes, request, keepAlive, stopping))
        return;
      const Answer answer = Dispatch(request);
      if (!SendAnswer(client, answer, request.method == "HEAD", keepAlive, stopping) ||
          !keepAlive)
        break;
    }
    // The answer is out; let the client read it before the socket closes.
    shutdown(client, SD_SEND);
    char block[4096];
    while (WaitFor(client, false, kIdleMs, stopping) && recv(client, block, sizeof block, 0) > 0) {
    }
  }

  Answer Dispatch(const HttpRequestSeen& request)
  {
    Route route;
    std::optional<fs::path> root;
    {
      std::lock_guard<std::mutex> guard(lock);
      requests.push_back(request);
      auto it = routes.find({request.method, request.path});
      if (it == routes.end() && request.method == "HEAD")
        it = routes.find({"GET", request.path});
      if (it != routes.end())
        route = it->second;
      root = folder;
    }
    if (route)
      return route(request);
    if (root && (request.method == "GET" || request.method == "HEAD"))
      if (const auto file = loopback::FileUnder(*root, request.path))
        return FileAnswer(*file, request);
    Answer missing;
    missing.status = 404;
    missing.body = "not found";
    return missing;
  }

  // As a static web server answers: a validator, and a single range as 206
  // while If-Range, when sent, names that validator; 416 for a range that
  // begins beyond the end. A handler's reply goes out as it stands.
  static Answer FileAnswer(const fs::path& file, const HttpRequestSeen& request)
  {
    Answer answer;
    std::error_code error;
    const std::uint64_t size = fs::file_size(file, error);
    const auto written = fs::last_write_time(file, error);
    auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
    if (error || !*in) {
      answer.status = 500;
      return answer;
    }
    char validator[64];
    std::snprintf(validator, sizeof validator, "\"%llx-%llx\"",
                  static_cast<unsigned long long>(written.time_since_epoch().count()),
                  static_cast<unsigned long long>(size));
    answer.headers.emplace_back("ETag", validator);
    std::uint64_t first = 0;
    std::uint64_t last = size == 0 ? 0 : size - 1;
    const std::string ifRange = request.Header("If-Range");
    if (request.method == "GET" && (ifRange.empty() || ifRange == validator) &&
        SingleRange(request.Header("Range"), size, first, last)) {
      if (first >= size) {
        answer.status = 416;
        answer.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
        return answer;
      }
      answer.status = 206;
      answer.headers.emplace_back("Content-Range", "bytes " + std::to_string(first) + "-" +
                                                       std::to_string(last) + "/" +
                                                       std::to_string(size));
    }
    answer.streamSize = answer.status == 206 ? last - first + 1 : size;
    answer.stream = [in, first](std::uint64_t offset, char* out, std::size_t length) {
      if (static_cast<std::uint64_t>(in->tellg()) != first + offset)
        in->seekg(static_cast<std::streamoff>(first + offset));
      in->read(out, static_cast<std::streamsize>(length));
      return in->gcount() == static_cast<std::streamsize>(length);
    };
    return answer;
  }

  void AddRoute(const std::string& method, const std::string& path, Route route)
  {
    std::lock_guard<std::mutex> guard(lock);
    routes[{method, path}] = std::move(route);
  }

  mutable std::mutex lock;
  std::map<std::pair<std::string, std::string>, Route> routes;
  std::optional<fs::path> folder;
  std::vector<HttpRequestSeen> requests;
  // First of the members that use the ones above: it serves from here on.
  SocketServer server{[this](SOCKET client, const std::atomic<bool>& stopping) {
    Serve(client, stopping);
  }};
  // The port clients use: the plain server's, or for HTTPS the front's.
  std::uint16_t port;
  std::string caFile;
  TlsFront* front = nullptr;
};

LoopbackServer::LoopbackServer(Scheme scheme) : m_impl(std::make_unique<Impl>(scheme)) {}

LoopbackServer::~LoopbackServer() = default;

std::uint16_t LoopbackServer::port() const { return m_impl->port; }

const std::string& LoopbackServer::caFile() const { return m_impl->caFile; }

const std::string& LoopbackServer::AuthorityFile() { return TlsFront::Get().authorityFile(); }

void LoopbackServer::Handle(const std::string& method, const std::string& path,
                            std::function<HttpReply(const HttpRequestSeen&)> handler)
{
  m_impl->AddRoute(method, path, [handler = std::move(handler)](const HttpRequestSeen& seen) {
    const HttpReply reply = handler(seen);
    Answer answer;
    answer.status = reply.status;
    answer.headers = reply.headers;
    answer.body = reply.body;
    answer.chunked = reply.withoutLength;
    return answer;
  });
}

void LoopbackServer::ServeText(const std::string& path, std::string body)
{
  HttpReply reply;
  reply.body = std::move(body);
  Handle("GET", path, [reply](const HttpRequestSeen&) { return reply; });
}

void LoopbackServer::ServeFolder(const std::filesystem::path& root)
{
  std::error_code error;
  fs::path canonical = fs::weakly_canonical(root, error);
  std::lock_guard<std::mutex> guard(m_impl->lock);
  m_impl->folder = error ? root : canonical;
}

void LoopbackServer::ServeGenerated(const std::string& path, std::uint64_t size)
{
  m_impl->AddRoute("GET", path, [size](const HttpRequestSeen&) {
    Answer answer;
    answer.streamSize = size;
    answer.stream = [](std::uint64_t offset, char* out, std::size_t length) {
      FillGenerated(offset, out, length);
      return true;
    };
    return answer;
  });
}

std::vector<HttpRequestSeen> LoopbackServer::Requests() const
{
  std::lock_guard<std::mutex> guard(m_impl->lock);
  return m_impl->requests;
}

void LoopbackServer::CutConnections()
{
  m_impl->server.Cut();
}

// --- RawServer ---

struct RawServer::Impl {
  Impl(std::string response, bool stall, int byteIntervalMs)
      : response(std::move(response)), stall(stall), byteIntervalMs(byteIntervalMs)
  {
  }

  void Serve(SOCKET client, const std::atomic<bool>& stopping)
  {
    // The request is read first, body included: closing a socket with
    // unread input resets the connection and the client would lose the
    // answer.
    std::string bytes;
    HttpRequestSeen request;
    bool keepAlive = false;
    ReadRequest(client, bytes, request, keepAlive, stopping);

    // Each byte leaves at its own moment of a schedule fixed at the start:
    // the time a send takes under wine would otherwise add up to a pace far
    // slower than the one asked for.
    const ULONGLONG start = GetTickCount64();
    std::size_t sent = 0;
    while (sent < response.size() && !stopping) {
      const std::size_t piece = byteIntervalMs > 0 ? 1 : response.size() - sent;
      if (!SendAll(client, response.data() + sent, piece, stopping))
        break;
      sent += piece;
      const ULONGLONG next = start + static_cast<ULONGLONG>(byteIntervalMs) * sent;
      for (ULONGLONG now = GetTickCount64(); byteIntervalMs > 0 && now < next && !stopping;
           now = GetTickCount64())
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(next - now, 5)));
    }
    if (!stall)
      shutdown(client, SD_SEND);
    // Until the client has gone (or, stalling, until the server stops):
    // whatever it still sends is read and dropped.
    char block[4096];
    while (WaitFor(client, false, stall ? -1 : kIdleMs, stopping))
      if (recv(client, block, sizeof block, 0) <= 0)
        break;
  }

  const std::string response;
  const bool stall;
  const int byteIntervalMs;
  // Last: it serves with the members above, and goes first.
  SocketServer server{[this](SOCKET client, const std::atomic<bool>& stopping) {
    Serve(client, stopping);
  }};
};

RawServer::RawServer(std::string response, bool stall, int byteIntervalMs)
    : m_impl(std::make_unique<Impl>(std::move(response), stall, byteIntervalMs))
{
}

RawServer::~RawServer() = default;

std::uint16_t RawServer::port() const { return m_impl->server.port(); }

int RawServer::connections() const { return m_impl->server.accepted(); }

}  // namespace orv::test
