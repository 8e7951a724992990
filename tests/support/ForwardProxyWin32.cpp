// The forward proxy on Winsock, for the tests that run under wine.
// SocketServerWin32.h comes first: it includes Winsock before <windows.h>.
#include "support/SocketServerWin32.h"

#include <atomic>
#include <mutex>

#include "support/ForwardProxy.h"

namespace orv::test {

namespace {

using winsock::kIdleMs;
using winsock::SendAll;
using winsock::WaitFor;

// Request heads larger than this are no request of these tests.
constexpr std::size_t kMaxHeadBytes = 64 * 1024;

// A connection to 127.0.0.1:port, or INVALID_SOCKET.
SOCKET ConnectTo(std::uint16_t port)
{
  SOCKET server = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (server != INVALID_SOCKET &&
      connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    closesocket(server);
    return INVALID_SOCKET;
  }
  return server;
}

// Passes the bytes each side sends on to the other until one of them ends
// its side, idles for long or the proxy stops.
void Relay(SOCKET client, SOCKET server, const std::atomic<bool>& stopping)
{
  char block[16 * 1024];
  for (int idle = 0; !stopping && idle < kIdleMs;) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(client, &ready);
    FD_SET(server, &ready);
    timeval slice{0, 50 * 1000};
    const int count = select(0, &ready, nullptr, nullptr, &slice);
    if (count == SOCKET_ERROR)
      return;
    if (count == 0) {
      idle += 50;
      continue;
    }
    idle = 0;
    for (const auto& [from, to] : {std::pair{client, server}, std::pair{server, client}}) {
      if (!FD_ISSET(from, &ready))
        continue;
      const int got = recv(from, block, sizeof block, 0);
      if (got <= 0 || !SendAll(to, block, static_cast<std::size_t>(got), stopping))
        return;
    }
  }
}

}  // namespace

struct ForwardProxy::Impl {
  void Serve(SOCKET client, const std::atomic<bool>& stopping)
  {
    std::string bytes;
    std::size_t headEnd;
    char block[4096];
    while ((headEnd = bytes.find("\r\n\r\n")) == std::string::npos) {
      if (bytes.size() > kMaxHeadBytes || !WaitFor(client, false, kIdleMs, stopping))
        return;
      const int got = recv(client, block, sizeof block, 0);
      if (got <= 0)
        return;
      bytes.append(block, static_cast<std::size_t>(got));
    }
    const auto forwarding = proxy::Forward(bytes.substr(0, headEnd + 4));
    if (!forwarding) {
      static constexpr char kRefused[] =
          "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      SendAll(client, kRefused, sizeof kRefused - 1, stopping);
      return;
    }
    {
      std::lock_guard<std::mutex> guard(lock);
      requests.push_back(forwarding->requestLine);
    }
    const SOCKET upstream = ConnectTo(forwarding->port);
    if (upstream == INVALID_SOCKET) {
      static constexpr char kUnreachable[] =
          "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      SendAll(client, kUnreachable, sizeof kUnreachable - 1, stopping);
      return;
    }
    // What came after the head is the start of the body, or of the tunnel.
    const std::string rest = bytes.substr(headEnd + 4);
    const bool started = forwarding->tunnel ? SendAll(client, proxy::kTunnelOpen,
                                                      sizeof proxy::kTunnelOpen - 1, stopping)
                                            : SendAll(upstream, forwarding->serverHead.data(),
                                                      forwarding->serverHead.size(), stopping);
    if (started && SendAll(upstream, rest.data(), rest.size(), stopping))
      Relay(client, upstream, stopping);
    shutdown(upstream, SD_BOTH);
    closesocket(upstream);
  }

  mutable std::mutex lock;
  std::vector<std::string> requests;
  // Last: it serves with the members above, and goes first.
  winsock::SocketServer server{
      [this](SOCKET client, const std::atomic<bool>& stopping) { Serve(client, stopping); }};
};

ForwardProxy::ForwardProxy() : m_impl(std::make_unique<Impl>()) {}

ForwardProxy::~ForwardProxy() = default;

std::uint16_t ForwardProxy::port() const
{
  return m_impl->server.port();
}

std::vector<std::string> ForwardProxy::Requests() const
{
  std::lock_guard<std::mutex> guard(m_impl->lock);
  return m_impl->requests;
}

}  // namespace orv::test
