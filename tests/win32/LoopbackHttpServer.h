#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/LoopbackServer.h"
#include "support/SocketServerWin32.h"

// A loopback HTTP/1.1 server for the WinINet tests, on the launcher tests'
// Winsock plumbing: one request per connection, answers from a route table,
// and the answers a well-behaved server never gives (framings, pieces,
// stalls, raw bytes). It records every request it read.
namespace orv::test::win32 {

using HeaderLines = std::vector<std::pair<std::string, std::string>>;
using SeenRequest = HttpRequestSeen;

struct Reply {
  enum class Framing { ContentLength, Chunked, CloseDelimited };

  Reply(int status = 200, std::string body = "", HeaderLines headers = {})
      : status(status), body(std::move(body)), headers(std::move(headers))
  {
  }

  int status;
  std::string body;
  HeaderLines headers;
  Framing framing = Framing::ContentLength;
  // Sent instead of everything above when not empty, then the connection
  // is closed: for answers no well-behaved server gives.
  std::string raw;
  // The body leaves in pieces of this size with a pause between them.
  std::size_t pieceSize = 0;
  unsigned pauseMs = 0;
  // The connection stays open this long after the answer, silent.
  unsigned stallMs = 0;
};

class LoopbackHttpServer {
 public:
  using Handler = std::function<Reply(const SeenRequest&)>;

  LoopbackHttpServer() = default;
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  std::uint16_t port() const { return m_server.port(); }
  void Route(const std::string& method, const std::string& path, Handler handler);
  std::vector<SeenRequest> Requests();

  // A port on 127.0.0.1 where nobody listens.
  static std::uint16_t ClosedPort();

 private:
  void Serve(SOCKET client, const std::atomic<bool>& stopping);

  std::mutex m_lock;
  std::map<std::pair<std::string, std::string>, Handler> m_routes;
  std::vector<SeenRequest> m_requests;
  // Last: it serves with the members above, and stops before they go.
  winsock::SocketServer m_server{
      [this](SOCKET client, const std::atomic<bool>& stopping) { Serve(client, stopping); }};
};

}  // namespace orv::test::win32
