#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Loopback HTTP and HTTPS servers for the tests of everything that talks to
// the network. This header is included by files whose literals become
// Shift_JIS, so it names neither cpp-httplib nor <chrono>: both stay in
// LoopbackServer.cpp.

namespace orv::test {

struct HttpRequestSeen {
  std::string method;
  std::string path;    // decoded, without the query string
  std::string query;   // as sent, without the '?'
  std::string target;  // the request target as sent: path and query still encoded
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // The value of a header, whatever the case of its name; "" when absent.
  std::string Header(const std::string& name) const;
};

struct HttpReply {
  int status = 200;
  std::string body;
  // e.g. {"Set-Cookie", "a=b; Path=/"}, {"Location", "/x"}
  std::vector<std::pair<std::string, std::string>> headers;
  // Chunked transfer: no Content-Length header.
  bool withoutLength = false;
};

// The bytes ServeGenerated sends, from a given offset of the body: a pattern
// whose period is a prime, so a lost, doubled or reordered block of any
// usual size shows.
void FillGenerated(std::uint64_t offset, char* out, std::size_t size);
std::string GeneratedContent(std::uint64_t offset, std::size_t size);

// An HTTP or HTTPS server on 127.0.0.1 at a free port, serving from the
// moment it is constructed. Handlers run on the server's threads.
class LoopbackServer {
 public:
  enum class Scheme {
    Http,
    Https,
    // HTTPS with a certificate the tests' clients trust, issued for another
    // host name than the ones they reach the server by.
    HttpsForAnotherName,
  };
  explicit LoopbackServer(Scheme scheme = Scheme::Http);
  // Stops and joins; open connections are cut, so this returns promptly
  // even while a client is connected or stalled.
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t port() const;
  // For Https: a PEM file of the authority that signed the server's
  // certificate (valid for "localhost" and 127.0.0.1). Made once per process.
  const std::string& caFile() const;
  // The same file, before any server exists.
  static const std::string& AuthorityFile();

  // Routes match the method and the decoded path exactly; the latest route
  // for a method and path wins. Unknown paths answer 404.
  void Handle(const std::string& method, const std::string& path,
              std::function<HttpReply(const HttpRequestSeen&)> handler);
  // GET → 200 with body.
  void ServeText(const std::string& path, std::string body);
  // GET "/a/b" → root/a/b; 404 when missing or when the path leaves root.
  void ServeFolder(const std::filesystem::path& root);
  // GET → size bytes of FillGenerated, made while they are sent.
  void ServeGenerated(const std::string& path, std::uint64_t size);
  // Every request received, in order.
  std::vector<HttpRequestSeen> Requests() const;
  // Cuts every connection open now; the server goes on accepting new ones.
  void CutConnections();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// A server that answers each connection on 127.0.0.1 with exactly the given
// raw bytes and then closes the connection, or, with stall = true, keeps it
// open sending nothing more until destroyed. For responses a well-behaved
// server never sends: bodies shorter or longer than their Content-Length,
// headers that never end, stalls. With byteIntervalMs, the response goes
// out one byte at a time, that many milliseconds apart: a server that
// trickles.
class RawServer {
 public:
  explicit RawServer(std::string response, bool stall = false, int byteIntervalMs = 0);
  ~RawServer();
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;

  std::uint16_t port() const;
  // Connections accepted so far.
  int connections() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace orv::test
