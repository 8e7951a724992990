// The forward proxy on POSIX sockets, for the Linux tests.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "support/ForwardProxy.h"

namespace orv::test {

namespace {

// A connection that idles this long is dropped.
constexpr int kIdleMs = 2000;
// Request heads larger than this are no request of these tests.
constexpr std::size_t kMaxHeadBytes = 64 * 1024;

// A connection to 127.0.0.1:port, or -1.
int ConnectTo(std::uint16_t port)
{
  const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (server >= 0 && connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(server);
    return -1;
  }
  return server;
}

}  // namespace

struct ForwardProxy::Impl {
  Impl()
  {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        pipe2(wake, O_CLOEXEC) != 0) {
      if (listener >= 0)
        close(listener);
      throw std::runtime_error("cannot set up the forward proxy");
    }
    port = ntohs(address.sin_port);
    acceptor = std::thread([this] { Accept(); });
  }

  ~Impl()
  {
    // The pipe stays readable once written: every wait of every thread ends.
    const char stop = 1;
    while (write(wake[1], &stop, 1) < 0 && errno == EINTR) {
    }
    acceptor.join();
    for (std::thread& worker : workers)
      worker.join();
    close(listener);
    close(wake[0]);
    close(wake[1]);
  }

  // Waits until one of fds is readable; false when the proxy stops or
  // nothing comes for kIdleMs.
  bool WaitReadable(pollfd* fds, int count) const
  {
    pollfd all[3];
    for (int i = 0; i < count; ++i)
      all[i] = {fds[i].fd, POLLIN, 0};
    all[count] = {wake[0], POLLIN, 0};
    int ready;
    do {
      ready = poll(all, static_cast<nfds_t>(count + 1), kIdleMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0 || all[count].revents != 0)
      return false;
    for (int i = 0; i < count; ++i)
      fds[i].revents = all[i].revents;
    return true;
  }

  bool SendAll(int fd, const char* data, std::size_t size) const
  {
    while (size != 0) {
      const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
      if (sent <= 0)
        return false;
      data += sent;
      size -= static_cast<std::size_t>(sent);
    }
    return true;
  }

  void Accept()
  {
    for (;;) {
      pollfd fd{listener, POLLIN, 0};
      pollfd stop{wake[0], POLLIN, 0};
      pollfd both[2] = {fd, stop};
      if (poll(both, 2, -1) < 0 && errno == EINTR)
        continue;
      if (both[1].revents != 0)
        return;
      const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0)
        workers.emplace_back([this, client] {
          Serve(client);
          close(client);
        });
    }
  }

  void Serve(int client)
  {
    std::string bytes;
    std::size_t headEnd;
    char block[16 * 1024];
    while ((headEnd = bytes.find("\r\n\r\n")) == std::string::npos) {
      pollfd fd{client, POLLIN, 0};
      if (bytes.size() > kMaxHeadBytes || !WaitReadable(&fd, 1))
        return;
      const ssize_t got = recv(client, block, sizeof block, 0);
      if (got <= 0)
        return;
      bytes.append(block, static_cast<std::size_t>(got));
    }
    const auto forwarding = proxy::Forward(bytes.substr(0, headEnd + 4));
    if (!forwarding) {
      static constexpr char kRefused[] =
          "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      SendAll(client, kRefused, sizeof kRefused - 1);
      return;
    }
    {
      std::lock_guard<std::mutex> guard(lock);
      requests.push_back(forwarding->requestLine);
    }
    const int upstream = ConnectTo(forwarding->port);
    if (upstream < 0) {
      static constexpr char kUnreachable[] =
          "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      SendAll(client, kUnreachable, sizeof kUnreachable - 1);
      return;
    }
    // What came after the head is the start of the body, or of the tunnel.
    const std::string rest = bytes.substr(headEnd + 4);
    const bool started =
        forwarding->tunnel
            ? SendAll(client, proxy::kTunnelOpen, sizeof proxy::kTunnelOpen - 1)
            : SendAll(upstream, forwarding->serverHead.data(), forwarding->serverHead.size());
    // Each side's bytes go on to the other until one of them ends its side.
    pollfd ends[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
    bool open = started && SendAll(upstream, rest.data(), rest.size());
    while (open && WaitReadable(ends, 2)) {
      for (int from = 0; open && from < 2; ++from) {
        if (ends[from].revents == 0)
          continue;
        const ssize_t got = recv(ends[from].fd, block, sizeof block, 0);
        open = got > 0 && SendAll(ends[1 - from].fd, block, static_cast<std::size_t>(got));
      }
    }
    shutdown(upstream, SHUT_RDWR);
    close(upstream);
  }

  int listener = -1;
  int wake[2] = {-1, -1};
  std::uint16_t port = 0;
  mutable std::mutex lock;
  std::vector<std::string> requests;
  std::thread acceptor;
  std::vector<std::thread> workers;
};

ForwardProxy::ForwardProxy() : m_impl(std::make_unique<Impl>()) {}

ForwardProxy::~ForwardProxy() = default;

std::uint16_t ForwardProxy::port() const
{
  return m_impl->port;
}

std::vector<std::string> ForwardProxy::Requests() const
{
  std::lock_guard<std::mutex> guard(m_impl->lock);
  return m_impl->requests;
}

}  // namespace orv::test
