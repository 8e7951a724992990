// The loopback servers on Winsock, for the tests that run under wine: the
// same behaviour as the Linux servers. Each connection has a thread of its
// own; no wait is longer than a short slice, so a server being destroyed cuts
// its connections and returns promptly. HTTPS is the plain server with the
// native TLS front (tools/tls_front) in front of it: WinINet speaks TLS to
// the front, which relays the bytes to the plain server and passes each end
// of a connection on.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include "support/LoopbackContent.h"
#include "support/LoopbackServer.h"
#include "support/PluginFolder.h"

namespace orv::test {

namespace {

namespace fs = std::filesystem;

// The longest wait on a socket before the server looks at its stop flag.
constexpr int kSliceMs = 50;
// A connection idle, or a peer that stops reading, for this long is dropped.
constexpr int kIdleMs = 2000;
// Request heads larger than this are no request of these tests.
constexpr std::size_t kMaxHeadBytes = 64 * 1024;
// How much of a streamed body goes to send() at once.
constexpr std::size_t kSendSlice = 256 * 1024;

// Winsock for the life of a server.
struct WinsockUser {
  WinsockUser()
  {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
      throw std::runtime_error("cannot start Winsock");
  }
  ~WinsockUser() { WSACleanup(); }
  WinsockUser(const WinsockUser&) = delete;
  WinsockUser& operator=(const WinsockUser&) = delete;
};

// A listening socket on 127.0.0.1 at a free port.
SOCKET Listen(std::uint16_t& port)
{
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  if (listener == INVALID_SOCKET ||
      bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      listen(listener, SOMAXCONN) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (listener != INVALID_SOCKET)
      closesocket(listener);
    throw std::runtime_error("cannot set up a loopback server");
  }
  port = ntohs(address.sin_port);
  return listener;
}

// Waits up to timeoutMs (-1: no limit) for the socket to be readable or
// writable; false when the time passes or the server stops first.
bool WaitFor(SOCKET socket, bool forWriting, int timeoutMs, const std::atomic<bool>& stopping)
{
  for (int waited = 0; !stopping && (timeoutMs < 0 || waited < timeoutMs); waited += kSliceMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval slice{0, kSliceMs * 1000};
    const int ready = forWriting ? select(0, nullptr, &set, nullptr, &slice)
                                 : select(0, &set, nullptr, nullptr, &slice);
    if (ready != 0)
      return ready > 0 && !stopping;
  }
  return false;
}

bool SendAll(SOCKET client, const char* data, std::size_t size, const std::atomic<bool>& stopping)
{
  while (size != 0) {
    if (!WaitFor(client, true, kIdleMs, stopping))
      return false;
    const int sent = send(client, data, static_cast<int>(std::min<std::size_t>(size, kSendSlice)), 0);
    if (sent <= 0)
      return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

// The connections a server has accepted, to be cut when it stops, and the
// threads that serve them.
class Connections {
 public:
  void Start(SOCKET client, std::function<void(SOCKET)> serve)
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_open.insert(client);
    m_workers.emplace_back([this, client, serve = std::move(serve)] {
      serve(client);
      {
        std::lock_guard<std::mutex> inner(m_lock);
        m_open.erase(client);
      }
      closesocket(client);
    });
  }

  void Cut()
  {
    std::lock_guard<std::mutex> guard(m_lock);
    for (SOCKET client : m_open)
      shutdown(client, SD_BOTH);
  }

  // The workers see the stop flag within a slice; shutting the sockets down
  // also ends a send or receive already under way.
  void CutAndJoin()
  {
    std::vector<std::thread> workers;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      for (SOCKET client : m_open)
        shutdown(client, SD_BOTH);
      workers.swap(m_workers);
    }
    for (std::thread& worker : workers)
      worker.join();
  }

 private:
  std::mutex m_lock;
  std::set<SOCKET> m_open;
  std::vector<std::thread> m_workers;
};

int HexDigit(char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// %XX escapes decoded; anything else, '+' included, as it stands.
std::string DecodePath(const std::string& encoded)
{
  std::string decoded;
  for (std::size_t at = 0; at < encoded.size(); ++at) {
    if (encoded[at] == '%' && at + 2 < encoded.size() && HexDigit(encoded[at + 1]) >= 0 &&
        HexDigit(encoded[at + 2]) >= 0) {
      decoded += static_cast<char>(HexDigit(encoded[at + 1]) * 16 + HexDigit(encoded[at + 2]));
      at += 2;
    } else {
      decoded += encoded[at];
    }
  }
  return decoded;
}

std::string Trim(const std::string& text)
{
  const std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos)
    return {};
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

const char* ReasonPhrase(int status)
{
  switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

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

// Reads one request: head and announced body. "bytes" keeps what arrived
// beyond it (the next request of a kept-alive connection). False when the
// connection ends, idles or sends something that is no request.
bool ReadRequest(SOCKET client, std::string& bytes, HttpRequestSeen& request,
                 bool& keepAlive, const std::atomic<bool>& stopping)
{
  char block[16 * 1024];
  std::size_t headEnd;
  while ((headEnd = bytes.find("\r\n\r\n")) == std::string::npos) {
    if (bytes.size() > kMaxHeadBytes || !WaitFor(client, false, kIdleMs, stopping))
      return false;
    const int got = recv(client, block, sizeof block, 0);
    if (got <= 0)
      return false;
    bytes.append(block, static_cast<std::size_t>(got));
  }
  const std::string head = bytes.substr(0, headEnd + 2);
  std::size_t lineEnd = head.find("\r\n");
  const std::string requestLine = head.substr(0, lineEnd);
  const std::size_t first = requestLine.find(' ');
  const std::size_t last = requestLine.rfind(' ');
  if (first == std::string::npos || last == first)
    return false;
  request.method = requestLine.substr(0, first);
  request.target = requestLine.substr(first + 1, last - first - 1);
  const std::string version = requestLine.substr(last + 1);
  const std::size_t question = request.target.find('?');
  request.path = DecodePath(request.target.substr(0, question));
  if (question != std::string::npos)
    request.query = request.target.substr(question + 1);
  for (std::size_t at = lineEnd + 2; at < head.size(); at = lineEnd + 2) {
    lineEnd = head.find("\r\n", at);
    const std::string line = head.substr(at, lineEnd - at);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos)
      request.headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
  }

  const std::string lengthText = request.Header("Content-Length");
  char* end = nullptr;
  const unsigned long long length = std::strtoull(lengthText.c_str(), &end, 10);
  if (!lengthText.empty() && (*end != '\0' || length > (64u << 20)))
    return false;
  bytes.erase(0, headEnd + 4);
  while (bytes.size() < length) {
    if (!WaitFor(client, false, kIdleMs, stopping))
      return false;
    const int got = recv(client, block, sizeof block, 0);
    if (got <= 0)
      return false;
    bytes.append(block, static_cast<std::size_t>(got));
  }
  request.body = bytes.substr(0, static_cast<std::size_t>(length));
  bytes.erase(0, static_cast<std::size_t>(length));

  const std::string connection = request.Header("Connection");
  keepAlive = version == "HTTP/1.1" ? !loopback::EqualNoCase(connection, "close")
                                    : loopback::EqualNoCase(connection, "keep-alive");
  return true;
}

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
  std::vector<char> block(kSendSlice);
  for (std::uint64_t offset = 0; offset < size;) {
    const std::size_t slice = static_cast<std::size_t>(std::min<std::uint64_t>(kSendSlice, size - offset));
    if (stopping || !answer.stream(offset, block.data(), slice) ||
        !SendAll(client, block.data(), slice, stopping))
      return false;
    offset += slice;
  }
  return true;
}

// --- The TLS front ---

// How long the front may take to start and call back, and to answer.
constexpr int kFrontStartMs = 20000;
constexpr int kFrontAnswerMs = 10000;
// An authority's PEM is a few hundred bytes; a larger one is no greeting of
// the front.
constexpr std::size_t kMaxAuthorityBytes = 16 * 1024;

// The front of this process, started with its first HTTPS server: it calls
// back on a control connection, hands over the authority it made, and opens
// and closes a TLS listener for each server. Wine can neither wait for nor
// end a Linux program it started, so the front ends by itself when the
// control connection closes: when this process exits at the latest.
class TlsFront {
 public:
  static TlsFront& Get()
  {
    // A front that failed to start throws, and the next server tries again.
    static TlsFront front;
    return front;
  }

  const std::string& authorityFile() const { return m_authorityFile; }

  // A TLS listener in front of 127.0.0.1:target; answers its port.
  std::uint16_t Forward(std::uint16_t target)
  {
    const std::string answer = Ask("forward " + std::to_string(target));
    const unsigned long port = std::strtoul(answer.c_str(), nullptr, 10);
    if (port == 0 || port > 65535 || answer.find_first_not_of("0123456789") != std::string::npos)
      throw std::runtime_error("the TLS front cannot listen: " + answer);
    return static_cast<std::uint16_t>(port);
  }

  // Closes the listener and cuts its connections.
  void Stop(std::uint16_t port) { Ask("stop " + std::to_string(port)); }

 private:
  TlsFront()
  {
    std::uint16_t controlPort = 0;
    const SOCKET listener = Listen(controlPort);
    try {
      const std::string token = std::to_string(std::random_device{}()) + "x" +
                                std::to_string(GetCurrentProcessId());
      Start(controlPort, token);
      if (!WaitFor(listener, false, kFrontStartMs, m_never))
        throw std::runtime_error("the TLS front did not call back (its message, if any, is above)");
      m_control = accept(listener, nullptr, nullptr);
      if (m_control == INVALID_SOCKET)
        throw std::runtime_error("cannot accept the TLS front's call");
      // Processes the launcher starts must not hold the front alive.
      SetHandleInformation(reinterpret_cast<HANDLE>(m_control), HANDLE_FLAG_INHERIT, 0);
      ReceiveAuthority(token);
    } catch (...) {
      closesocket(listener);
      Close();
      throw;
    }
    closesocket(listener);
  }

  ~TlsFront() { Close(); }
  TlsFront(const TlsFront&) = delete;
  TlsFront& operator=(const TlsFront&) = delete;

  void Close()
  {
    if (m_control != INVALID_SOCKET)
      closesocket(m_control);
    m_control = INVALID_SOCKET;
    if (!m_authorityFile.empty())
      DeleteFileA(m_authorityFile.c_str());
  }

  // The front is a Linux program beside the tests; wine starts it from its
  // drive path like any other.
  static void Start(std::uint16_t controlPort, const std::string& token)
  {
    const std::filesystem::path program = ExecutableFolder() / "tls_front";
    std::wstring commandLine = L"\"" + program.wstring() + L"\" " +
                               std::to_wstring(controlPort) + L" " +
                               std::wstring(token.begin(), token.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process))
      throw std::runtime_error("cannot start " + program.string() + ": error " +
                               std::to_string(GetLastError()));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }

  // "<token> <length>\n" and the authority's PEM, kept in a file of its own.
  void ReceiveAuthority(const std::string& token)
  {
    const std::string greeting = ReadLine();
    const std::size_t space = greeting.find(' ');
    const unsigned long length =
        space == std::string::npos ? 0 : std::strtoul(greeting.c_str() + space + 1, nullptr, 10);
    if (greeting.substr(0, space) != token || length == 0 || length > kMaxAuthorityBytes)
      throw std::runtime_error("the TLS front's call is not the front's: " + greeting);
    while (m_received.size() < length)
      Receive();
    const std::string pem = m_received.substr(0, length);
    m_received.erase(0, length);

    char folder[MAX_PATH];
    char file[MAX_PATH];
    const DWORD size = GetTempPathA(sizeof folder, folder);
    if (size == 0 || size >= sizeof folder || !GetTempFileNameA(folder, "orv", 0, file))
      throw std::runtime_error("cannot make a file for the test authority");
    m_authorityFile = file;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out.write(pem.data(), static_cast<std::streamsize>(pem.size())) || !out.flush())
      throw std::runtime_error("cannot write the test authority to " + m_authorityFile);
  }

  void Receive()
  {
    char block[4096];
    if (!WaitFor(m_control, false, kFrontAnswerMs, m_never))
      throw std::runtime_error("the TLS front does not answer");
    const int got = recv(m_control, block, sizeof block, 0);
    if (got <= 0)
      throw std::runtime_error("the TLS front has gone");
    m_received.append(block, static_cast<std::size_t>(got));
  }

  std::string ReadLine()
  {
    std::size_t end;
    while ((end = m_received.find('\n')) == std::string::npos) {
      if (m_received.size() > kMaxHeadBytes)
        throw std::runtime_error("the TLS front sends no lines");
      Receive();
    }
    std::string line = m_received.substr(0, end);
    m_received.erase(0, end + 1);
    return line;
  }

  std::string Ask(const std::string& command)
  {
    std::lock_guard<std::mutex> guard(m_lock);
    const std::string line = command + "\n";
    if (!SendAll(m_control, line.data(), line.size(), m_never))
      throw std::runtime_error("the TLS front has gone");
    return ReadLine();
  }

  WinsockUser m_winsock;
  const std::atomic<bool> m_never{false};
  std::mutex m_lock;
  SOCKET m_control = INVALID_SOCKET;
  std::string m_received;
  std::string m_authorityFile;
};

void NoDelay(SOCKET client)
{
  // Head and body leave in separate sends; with Nagle's algorithm the body
  // would wait for the client's delayed acknowledgement.
  const BOOL on = TRUE;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

}  // namespace

// --- LoopbackServer ---

struct LoopbackServer::Impl {
  using Route = std::function<Answer(const HttpRequestSeen&)>;

  explicit Impl(Scheme scheme)
  {
    listener = Listen(port);
    acceptor = std::thread([this] { Accept(); });
    if (scheme == Scheme::Https) {
      try {
        TlsFront& front = TlsFront::Get();
        caFile = front.authorityFile();
        port = front.Forward(port);
        secure = true;
      } catch (...) {
        stopping = true;
        acceptor.join();
        connections.CutAndJoin();
        closesocket(listener);
        throw;
      }
    }
  }

  ~Impl()
  {
    // The TLS connections go first, with the listener in front of them.
    if (secure) {
      try {
        TlsFront::Get().Stop(port);
      } catch (const std::exception&) {
        // A front that has gone has closed them all.
      }
    }
    stopping = true;
    acceptor.join();
    connections.CutAndJoin();
    closesocket(listener);
  }

  void Accept()
  {
    while (!stopping) {
      if (!WaitFor(listener, false, kSliceMs, stopping))
        continue;
      const SOCKET client = accept(listener, nullptr, nullptr);
      if (client == INVALID_SOCKET)
        continue;
      NoDelay(client);
      connections.Start(client, [this](SOCKET socket) { Serve(socket); });
    }
  }

  void Serve(SOCKET client)
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
        return FileAnswer(*file);
    Answer missing;
    missing.status = 404;
    missing.body = "not found";
    return missing;
  }

  static Answer FileAnswer(const fs::path& file)
  {
    Answer answer;
    std::error_code error;
    const auto size = fs::file_size(file, error);
    auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
    if (error || !*in) {
      answer.status = 500;
      return answer;
    }
    answer.streamSize = size;
    answer.stream = [in](std::uint64_t, char* out, std::size_t length) {
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

  WinsockUser winsock;
  SOCKET listener = INVALID_SOCKET;
  // The port clients use: the plain server's, or for HTTPS the front's.
  std::uint16_t port = 0;
  bool secure = false;
  std::string caFile;
  std::atomic<bool> stopping{false};
  std::thread acceptor;
  Connections connections;

  mutable std::mutex lock;
  std::map<std::pair<std::string, std::string>, Route> routes;
  std::optional<fs::path> folder;
  std::vector<HttpRequestSeen> requests;
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
  m_impl->connections.Cut();
}

// --- RawServer ---

struct RawServer::Impl {
  Impl(std::string response, bool stall, int byteIntervalMs)
      : response(std::move(response)), stall(stall), byteIntervalMs(byteIntervalMs)
  {
    listener = Listen(port);
    acceptor = std::thread([this] { Accept(); });
  }

  ~Impl()
  {
    stopping = true;
    acceptor.join();
    connections.CutAndJoin();
    closesocket(listener);
  }

  void Accept()
  {
    while (!stopping) {
      if (!WaitFor(listener, false, kSliceMs, stopping))
        continue;
      const SOCKET client = accept(listener, nullptr, nullptr);
      if (client == INVALID_SOCKET)
        continue;
      NoDelay(client);
      ++connectionCount;
      connections.Start(client, [this](SOCKET socket) { Serve(socket); });
    }
  }

  void Serve(SOCKET client)
  {
    // The request is read first, body included: closing a socket with
    // unread input resets the connection and the client would lose the
    // answer.
    std::string bytes;
    HttpRequestSeen request;
    bool keepAlive = false;
    ReadRequest(client, bytes, request, keepAlive, stopping);

    std::size_t sent = 0;
    while (sent < response.size() && !stopping) {
      const std::size_t piece = byteIntervalMs > 0 ? 1 : response.size() - sent;
      if (!SendAll(client, response.data() + sent, piece, stopping))
        break;
      sent += piece;
      for (int waited = 0; byteIntervalMs > 0 && waited < byteIntervalMs && !stopping;
           waited += 5)
        Sleep(5);
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

  WinsockUser winsock;
  const std::string response;
  const bool stall;
  const int byteIntervalMs;
  SOCKET listener = INVALID_SOCKET;
  std::uint16_t port = 0;
  std::atomic<bool> stopping{false};
  std::atomic<int> connectionCount{0};
  std::thread acceptor;
  Connections connections;
};

RawServer::RawServer(std::string response, bool stall, int byteIntervalMs)
    : m_impl(std::make_unique<Impl>(std::move(response), stall, byteIntervalMs))
{
}

RawServer::~RawServer() = default;

std::uint16_t RawServer::port() const { return m_impl->port; }

int RawServer::connections() const { return m_impl->connectionCount; }

}  // namespace orv::test
