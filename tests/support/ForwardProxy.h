#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orv::test {

// An HTTP forward proxy on 127.0.0.1 at a free port, for the tests of the
// clients' proxy modes. It takes requests in absolute form ("GET
// http://host:port/path HTTP/1.1") and CONNECT tunnels for HTTPS, and
// reaches whatever host it is asked for at 127.0.0.1, on the port asked
// for: a name that resolves nowhere reaches the loopback servers through
// the proxy, and only through it. Each request gets a connection of its own
// to the server, which closes once it has answered.
class ForwardProxy {
 public:
  ForwardProxy();
  // Stops and joins; open connections and tunnels are cut.
  ~ForwardProxy();
  ForwardProxy(const ForwardProxy&) = delete;
  ForwardProxy& operator=(const ForwardProxy&) = delete;

  std::uint16_t port() const;
  // "127.0.0.1:<port>", as a client's proxy setting names it.
  std::string address() const;
  // The request line of every request it took, in order:
  // "GET http://patch.orv.invalid:8081/a HTTP/1.1", "CONNECT host:443 HTTP/1.1".
  std::vector<std::string> Requests() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

namespace proxy {

// What the proxy makes of a request head, its blank line included.
struct Forwarding {
  std::string requestLine;
  bool tunnel = false;
  // The port at 127.0.0.1 the request goes on to.
  std::uint16_t port = 0;
  // For a request in absolute form: its head as the server takes it, with
  // the path alone on the request line and the connection closed after the
  // answer (no hop-by-hop header of the client's goes along).
  std::string serverHead;
};
// Nothing for a head that is neither.
std::optional<Forwarding> Forward(const std::string& head);

// The answer to a CONNECT whose server was reached.
inline constexpr char kTunnelOpen[] = "HTTP/1.1 200 Connection established\r\n\r\n";

}  // namespace proxy

}  // namespace orv::test
