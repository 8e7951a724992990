#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// A minimal HTTP/1.1 server for the Win32 back-end tests: one thread on
// 127.0.0.1 at a free port, one request per connection, answers from a
// route table and records every request it read.
namespace orv::test::win32 {

using HeaderLines = std::vector<std::pair<std::string, std::string>>;

struct SeenRequest {
  std::string method;
  std::string target;  // as on the request line, query included
  std::string path;    // without the query
  HeaderLines headers;
  std::string body;

  // The first header of that name (letters compared without case), or "".
  std::string Header(const std::string& name) const;
};

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

  LoopbackHttpServer();
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  std::uint16_t port() const { return m_port; }
  void Route(const std::string& method, const std::string& path, Handler handler);
  std::vector<SeenRequest> Requests();

  // A port on 127.0.0.1 where nobody listens.
  static std::uint16_t ClosedPort();

 private:
  static DWORD WINAPI Run(void* self);
  void Serve(SOCKET client);
  bool ReadRequest(SOCKET client, SeenRequest& request);
  void Send(SOCKET client, const std::string& bytes, const Reply& reply, std::size_t bodyAt);
  void Pause(unsigned milliseconds);

  SOCKET m_listener = INVALID_SOCKET;
  std::uint16_t m_port = 0;
  HANDLE m_thread = nullptr;
  std::atomic<bool> m_stop{false};
  std::mutex m_lock;
  std::map<std::pair<std::string, std::string>, Handler> m_routes;
  std::vector<SeenRequest> m_requests;
};

}  // namespace orv::test::win32
