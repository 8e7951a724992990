#include "LoopbackHttpServer.h"

#include <algorithm>
#include <cstdio>

namespace orv::test::win32 {

namespace {

void Pause(unsigned milliseconds, const std::atomic<bool>& stopping)
{
  for (unsigned waited = 0; waited < milliseconds && !stopping; waited += 10)
    Sleep(10);
}

// The whole answer, or its head and then the body in pieces.
void Send(SOCKET client, const std::string& bytes, const Reply& reply, std::size_t bodyAt,
          const std::atomic<bool>& stopping)
{
  if (reply.pieceSize == 0) {
    winsock::SendAll(client, bytes.data(), bytes.size(), stopping);
    return;
  }
  if (!winsock::SendAll(client, bytes.data(), bodyAt, stopping))
    return;
  for (std::size_t at = bodyAt; at < bytes.size() && !stopping; at += reply.pieceSize) {
    if (!winsock::SendAll(client, bytes.data() + at, std::min(reply.pieceSize, bytes.size() - at),
                          stopping))
      return;
    Pause(reply.pauseMs, stopping);
  }
}

}  // namespace

void LoopbackHttpServer::Route(const std::string& method, const std::string& path,
                               Handler handler)
{
  std::lock_guard<std::mutex> lock(m_lock);
  m_routes[{method, path}] = std::move(handler);
}

std::vector<SeenRequest> LoopbackHttpServer::Requests()
{
  std::lock_guard<std::mutex> lock(m_lock);
  return m_requests;
}

std::uint16_t LoopbackHttpServer::ClosedPort()
{
  winsock::WinsockUser winsock;
  std::uint16_t port = 0;
  closesocket(winsock::Listen(port));
  return port;
}

void LoopbackHttpServer::Serve(SOCKET client, const std::atomic<bool>& stopping)
{
  std::string bytes;
  SeenRequest request;
  bool keepAlive = false;
  if (!winsock::ReadRequest(client, bytes, request, keepAlive, stopping))
    return;
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_requests.push_back(request);
    const auto route = m_routes.find({request.method, request.path});
    if (route != m_routes.end())
      handler = route->second;
  }
  const Reply reply = handler ? handler(request) : Reply{404, "not found"};

  if (!reply.raw.empty()) {
    Send(client, reply.raw, reply, reply.raw.size(), stopping);
    Pause(reply.stallMs, stopping);
    return;
  }
  std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " +
                     winsock::ReasonPhrase(reply.status) + "\r\nConnection: close\r\n";
  for (const auto& [name, value] : reply.headers)
    head += name + ": " + value + "\r\n";
  std::string body = reply.body;
  switch (reply.framing) {
    case Reply::Framing::ContentLength:
      head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
      break;
    case Reply::Framing::Chunked: {
      head += "Transfer-Encoding: chunked\r\n";
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", body.size());
      body = body.empty() ? "0\r\n\r\n" : size + body + "\r\n0\r\n\r\n";
      break;
    }
    case Reply::Framing::CloseDelimited:
      break;
  }
  head += "\r\n";
  Send(client, head + body, reply, head.size(), stopping);
  Pause(reply.stallMs, stopping);
}

}  // namespace orv::test::win32
