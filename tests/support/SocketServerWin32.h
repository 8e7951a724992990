#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackServer.h"

// The Winsock side of the loopback servers that run under wine: the
// launcher tests' servers and the WinINet tests' server stand on it. No wait
// is longer than a short slice, so a server being stopped cuts its
// connections and returns promptly.
namespace orv::test::winsock {

// A connection idle, or a peer that stops reading, for this long is dropped.
constexpr int kIdleMs = 2000;

// Winsock for the life of the object.
struct WinsockUser {
  WinsockUser();
  ~WinsockUser();
  WinsockUser(const WinsockUser&) = delete;
  WinsockUser& operator=(const WinsockUser&) = delete;
};

// A listening socket on 127.0.0.1 at a free port.
SOCKET Listen(std::uint16_t& port);

// Waits up to timeoutMs (-1: no limit) for the socket to be readable or
// writable; false when the time passes or stopping is set first.
bool WaitFor(SOCKET socket, bool forWriting, int timeoutMs, const std::atomic<bool>& stopping);

// Sends all of it; false when the peer stops reading for kIdleMs, goes away,
// or stopping is set.
bool SendAll(SOCKET socket, const char* data, std::size_t size, const std::atomic<bool>& stopping);

// Reads one request: head and announced body. "bytes" keeps what arrived
// beyond it (the next request of a kept-alive connection). False when the
// connection ends, idles or sends something that is no request.
bool ReadRequest(SOCKET client, std::string& bytes, HttpRequestSeen& request, bool& keepAlive,
                 const std::atomic<bool>& stopping);

// "OK" for 200 and so on; "Status" for a status without a phrase here.
const char* ReasonPhrase(int status);

// A server on 127.0.0.1 at a free port, accepting from the moment it is
// constructed: each connection is served on a thread of its own by serve,
// and closed when serve returns.
class SocketServer {
 public:
  using Serve = std::function<void(SOCKET client, const std::atomic<bool>& stopping)>;

  explicit SocketServer(Serve serve);
  ~SocketServer() { Stop(); }
  SocketServer(const SocketServer&) = delete;
  SocketServer& operator=(const SocketServer&) = delete;

  std::uint16_t port() const { return m_port; }
  // Connections accepted so far.
  int accepted() const { return m_accepted; }
  // Shuts every connection open now down; new ones are still accepted.
  void Cut();
  // Stops accepting, cuts every connection and joins every thread. A server
  // whose serve uses objects that go before it calls this first.
  void Stop();

 private:
  void Accept();

  WinsockUser m_winsock;
  const Serve m_serve;
  std::uint16_t m_port = 0;
  SOCKET m_listener = INVALID_SOCKET;
  std::atomic<bool> m_stopping{false};
  std::atomic<int> m_accepted{0};
  std::mutex m_lock;
  std::set<SOCKET> m_open;
  std::vector<std::thread> m_workers;
  // Last: it starts once everything above is ready.
  std::thread m_acceptor;
};

}  // namespace orv::test::winsock
