#include "LoopbackHttpServer.h"

#include <algorithm>
#include <cstdlib>

namespace orv::test::win32 {

namespace {

// Requests larger than this are no request of these tests.
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

std::string Lower(std::string text)
{
  for (char& c : text)
    c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

std::string Trim(const std::string& text)
{
  const std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos)
    return {};
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

const char* Reason(int status)
{
  switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

bool SendAll(SOCKET client, const char* data, std::size_t size)
{
  while (size > 0) {
    const int sent = send(client, data, static_cast<int>(std::min<std::size_t>(size, 1 << 20)), 0);
    if (sent <= 0)
      return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

}  // namespace

std::string SeenRequest::Header(const std::string& name) const
{
  for (const auto& [key, value] : headers)
    if (Lower(key) == Lower(name))
      return value;
  return {};
}

LoopbackHttpServer::LoopbackHttpServer()
{
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  m_listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  bind(m_listener, reinterpret_cast<sockaddr*>(&address), size);
  listen(m_listener, 16);
  getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size);
  m_port = ntohs(address.sin_port);
  m_thread = CreateThread(nullptr, 0, &LoopbackHttpServer::Run, this, 0, nullptr);
}

LoopbackHttpServer::~LoopbackHttpServer()
{
  m_stop = true;
  WaitForSingleObject(m_thread, INFINITE);
  CloseHandle(m_thread);
  closesocket(m_listener);
  WSACleanup();
}

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
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  bind(probe, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
  closesocket(probe);
  WSACleanup();
  return ntohs(address.sin_port);
}

DWORD WINAPI LoopbackHttpServer::Run(void* self)
{
  auto& server = *static_cast<LoopbackHttpServer*>(self);
  while (!server.m_stop) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(server.m_listener, &ready);
    timeval wait{0, 50 * 1000};
    if (select(0, &ready, nullptr, nullptr, &wait) <= 0)
      continue;
    SOCKET client = accept(server.m_listener, nullptr, nullptr);
    if (client == INVALID_SOCKET)
      continue;
    server.Serve(client);
    closesocket(client);
  }
  return 0;
}

bool LoopbackHttpServer::ReadRequest(SOCKET client, SeenRequest& request)
{
  std::string bytes;
  std::size_t end;
  char chunk[8192];
  while ((end = bytes.find("\r\n\r\n")) == std::string::npos) {
    if (bytes.size() > kMaxHeaderBytes)
      return false;
    const int got = recv(client, chunk, sizeof chunk, 0);
    if (got <= 0)
      return false;
    bytes.append(chunk, static_cast<std::size_t>(got));
  }
  std::string head = bytes.substr(0, end + 2);
  std::string body = bytes.substr(end + 4);

  std::size_t lineEnd = head.find("\r\n");
  const std::string requestLine = head.substr(0, lineEnd);
  const std::size_t space = requestLine.find(' ');
  request.method = requestLine.substr(0, space);
  request.target = requestLine.substr(space + 1, requestLine.rfind(' ') - space - 1);
  request.path = request.target.substr(0, request.target.find('?'));
  for (std::size_t at = lineEnd + 2; at < head.size(); at = lineEnd + 2) {
    lineEnd = head.find("\r\n", at);
    const std::string line = head.substr(at, lineEnd - at);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos)
      request.headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
  }
  const std::size_t length = std::strtoul(request.Header("Content-Length").c_str(), nullptr, 10);
  while (body.size() < length) {
    const int got = recv(client, chunk, sizeof chunk, 0);
    if (got <= 0)
      return false;
    body.append(chunk, static_cast<std::size_t>(got));
  }
  request.body = body.substr(0, length);
  return true;
}

void LoopbackHttpServer::Pause(unsigned milliseconds)
{
  for (unsigned waited = 0; waited < milliseconds && !m_stop; waited += 10)
    Sleep(10);
}

void LoopbackHttpServer::Serve(SOCKET client)
{
  DWORD timeout = 5000;
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
             sizeof timeout);
  SeenRequest request;
  if (!ReadRequest(client, request))
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
    Send(client, reply.raw, reply, reply.raw.size());
    Pause(reply.stallMs);
    return;
  }
  std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + Reason(reply.status) +
                     "\r\nConnection: close\r\n";
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
  Send(client, head + body, reply, head.size());
  Pause(reply.stallMs);
}

void LoopbackHttpServer::Send(SOCKET client, const std::string& bytes, const Reply& reply,
                              std::size_t bodyAt)
{
  if (reply.pieceSize == 0) {
    SendAll(client, bytes.data(), bytes.size());
    return;
  }
  if (!SendAll(client, bytes.data(), bodyAt))
    return;
  for (std::size_t at = bodyAt; at < bytes.size() && !m_stop; at += reply.pieceSize) {
    if (!SendAll(client, bytes.data() + at, std::min(reply.pieceSize, bytes.size() - at)))
      return;
    Pause(reply.pauseMs);
  }
}

}  // namespace orv::test::win32
