#include "support/SocketServerWin32.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "support/LoopbackContent.h"
#include "webform/WebForm.h"

namespace orv::test::winsock {

namespace {

// The longest wait on a socket before a server looks at its stop flag.
constexpr int kSliceMs = 50;
// Request heads larger than this are no request of these tests.
constexpr std::size_t kMaxHeadBytes = 64 * 1024;
// Request bodies larger than this are none either.
constexpr unsigned long long kMaxBodyBytes = 64u << 20;
// How much goes to send() at once.
constexpr std::size_t kSendSlice = 256 * 1024;

std::string Trim(const std::string& text)
{
  const std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos)
    return {};
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// Appends what the client sends next; false when it ends, idles or the
// server stops.
bool ReceiveMore(SOCKET client, std::string& bytes, const std::atomic<bool>& stopping)
{
  char block[16 * 1024];
  if (!WaitFor(client, false, kIdleMs, stopping))
    return false;
  const int got = recv(client, block, sizeof block, 0);
  if (got <= 0)
    return false;
  bytes.append(block, static_cast<std::size_t>(got));
  return true;
}

}  // namespace

WinsockUser::WinsockUser()
{
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
    throw std::runtime_error("cannot start Winsock");
}

WinsockUser::~WinsockUser() { WSACleanup(); }

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

bool WaitFor(SOCKET socket, bool forWriting, int timeoutMs, const std::atomic<bool>& stopping)
{
  for (int waited = 0; !stopping && (timeoutMs < 0 || waited < timeoutMs); waited += kSliceMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval slice{0, kSliceMs * 1000};
    const int ready = forWriting ? select(0, nullptr, &set, nullptr, &slice)
                                 : select(0, &set, nullptr, nullptr, &slice);
    if (ready == SOCKET_ERROR) {
      // A socket select cannot wait on answers at once: without the pause
      // a caller that tries again would spin.
      Sleep(kSliceMs);
      return false;
    }
    if (ready != 0)
      return !stopping;
  }
  return false;
}

bool SendAll(SOCKET socket, const char* data, std::size_t size, const std::atomic<bool>& stopping)
{
  while (size != 0) {
    if (!WaitFor(socket, true, kIdleMs, stopping))
      return false;
    const int sent = send(socket, data, static_cast<int>(std::min(size, kSendSlice)), 0);
    if (sent <= 0)
      return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool ReadRequest(SOCKET client, std::string& bytes, HttpRequestSeen& request, bool& keepAlive,
                 const std::atomic<bool>& stopping)
{
  std::size_t headEnd;
  while ((headEnd = bytes.find("\r\n\r\n")) == std::string::npos)
    if (bytes.size() > kMaxHeadBytes || !ReceiveMore(client, bytes, stopping))
      return false;
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
  request.path = webform::PercentDecode(request.target.substr(0, question), false);
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
  if (!lengthText.empty() && (*end != '\0' || length > kMaxBodyBytes))
    return false;
  bytes.erase(0, headEnd + 4);
  while (bytes.size() < length)
    if (!ReceiveMore(client, bytes, stopping))
      return false;
  request.body = bytes.substr(0, static_cast<std::size_t>(length));
  bytes.erase(0, static_cast<std::size_t>(length));

  const std::string connection = request.Header("Connection");
  keepAlive = version == "HTTP/1.1" ? !loopback::EqualNoCase(connection, "close")
                                    : loopback::EqualNoCase(connection, "keep-alive");
  return true;
}

const char* ReasonPhrase(int status)
{
  // clang-format off
  switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
  // clang-format on
}

// --- SocketServer ---

SocketServer::SocketServer(Serve serve) : m_serve(std::move(serve))
{
  m_listener = Listen(m_port);
  m_acceptor = std::thread([this] { Accept(); });
}

void SocketServer::Accept()
{
  while (!m_stopping) {
    if (!WaitFor(m_listener, false, kSliceMs, m_stopping))
      continue;
    const SOCKET client = accept(m_listener, nullptr, nullptr);
    if (client == INVALID_SOCKET)
      continue;
    // Head and body leave in separate sends; with Nagle's algorithm the body
    // would wait for the client's delayed acknowledgement.
    const BOOL on = TRUE;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    ++m_accepted;
    std::lock_guard<std::mutex> guard(m_lock);
    m_open.insert(client);
    m_workers.emplace_back([this, client] {
      m_serve(client, m_stopping);
      {
        std::lock_guard<std::mutex> inner(m_lock);
        m_open.erase(client);
      }
      closesocket(client);
    });
  }
}

void SocketServer::Cut()
{
  std::lock_guard<std::mutex> guard(m_lock);
  for (SOCKET client : m_open)
    shutdown(client, SD_BOTH);
}

void SocketServer::Stop()
{
  m_stopping = true;
  if (m_acceptor.joinable())
    m_acceptor.join();
  if (m_listener != INVALID_SOCKET)
    closesocket(m_listener);
  m_listener = INVALID_SOCKET;
  // The workers see the stop flag within a slice; shutting the sockets down
  // also ends a send or receive already under way.
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

}  // namespace orv::test::winsock
