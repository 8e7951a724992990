#include "net/HttpSession.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <string_view>

#include "app/CGlobal.h"
#include "app/Status.h"
#include "platform/ErrorCodes.h"

namespace orv {

HttpSession::HttpSession(CGlobal& global) : m_global(global), m_client(global.platform().http) {}

HttpSession::~HttpSession() { Close(); }

std::int32_t HttpSession::Fail(std::uint32_t error, const char* line, HttpHandle handle)
{
  m_lastError = error;
  if (!line)
    return kEFail;
  // Asked before the log's lock is taken: the client takes locks of its own.
  const std::string reason = m_client.FailureReason(handle, error);
  // One hold of the lock for both lines, so no other thread's line comes
  // between a failure and its cause.
  std::lock_guard guard(m_global.lock);
  m_global.WriteProcessLog(line, static_cast<int>(error));
  if (!reason.empty())
    m_global.WriteLogFileLine("  cause: %s", reason.c_str());
  return kEFail;
}

std::int32_t HttpSession::Open(std::uint32_t timeoutMilliseconds)
{
  HttpClient::Proxy proxy;
  ProxyOfSetting(m_global.Proxy, proxy);
  if (std::uint32_t error = m_client.OpenInternet(internet, proxy)) {
    internet = nullptr;
    return Fail(error, nullptr);
  }
  // The first three are the library's traditional options; HTTP requests
  // on Windows only heed the last two, without which a server that stops
  // in the middle of a body would be waited for until the player gives up.
  for (std::uint32_t option :
       {HttpClient::kConnectTimeout, HttpClient::kSendTimeout, HttpClient::kReceiveTimeout,
        HttpClient::kHttpSendTimeout, HttpClient::kHttpReceiveTimeout}) {
    if (std::uint32_t error = m_client.SetTimeout(internet, option, timeoutMilliseconds))
      return Fail(error, "Set Option Err:[%d]", internet);
  }
  return kOk;
}

std::int32_t HttpSession::Connect(const char* host, std::uint16_t port)
{
  if (!internet)
    return Fail(err::kInvalidHandle, "Connect Err:[%d]");
  if (std::uint32_t error = m_client.Connect(internet, host, port, connection)) {
    connection = nullptr;
    return Fail(error, "Connect Err:[%d]", internet);
  }
  return kOk;
}

std::int32_t HttpSession::OpenRequest(const char* verb, const char* path, const char* referrer,
                                      std::uint32_t flags)
{
  if (std::uint32_t error = m_client.OpenRequest(connection, verb, path, referrer, flags, request)) {
    request = nullptr;
    return Fail(error, "OpenRequest Err:[%d]", connection);
  }
  return kOk;
}

std::int32_t HttpSession::SendRequest(const char* headers, std::uint32_t headersLength,
                                      const void* body, std::uint32_t bodyLength)
{
  if (std::uint32_t error = m_client.SendRequest(request, headers, headersLength, body, bodyLength))
    return Fail(error, "SendRequest Err:[%d]", request);
  return kOk;
}

std::int32_t HttpSession::QueryInfo(std::uint32_t infoLevel, std::uint32_t& value)
{
  if (std::uint32_t error = m_client.QueryNumber(request, infoLevel, value))
    return Fail(error, "QueryInfo Err:[%d]", request);
  return kOk;
}

std::int32_t HttpSession::InetReadFile(void* buffer, std::uint32_t size, std::uint32_t& read)
{
  read = 0;
  if (std::uint32_t error = m_client.Read(request, buffer, size, read))
    return Fail(error, "InetReadFile Err:[%d]", request);
  return kOk;
}

std::int32_t HttpSession::InetQueryDataAvail(std::uint32_t& available)
{
  available = 0;
  if (std::uint32_t error = m_client.QueryDataAvailable(request, available))
    return Fail(error, "InetQueryDataAvail Err:[%d]", request);
  return kOk;
}

std::int32_t HttpSession::QueryHeader(const char* name, std::string& value)
{
  value.clear();
  if (std::uint32_t error = m_client.QueryHeader(request, name, value)) {
    value.clear();
    return Fail(error, nullptr);
  }
  return kOk;
}

void HttpSession::CloseExchange()
{
  m_client.Close(connection);
  connection = nullptr;
  m_client.Close(request);
  request = nullptr;
}

void HttpSession::Abort()
{
  // The library handle is set and cleared on the window thread only, so it
  // can be read here while a worker uses the others.
  if (internet)
    m_client.Abort(internet);
}

void HttpSession::Close()
{
  CloseExchange();
  m_client.Close(internet);
  internet = nullptr;
}

bool ProxyOfSetting(const char* setting, HttpClient::Proxy& proxy)
{
  proxy = HttpClient::Proxy{};
  std::string text = setting ? setting : "";
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.back()))
    text.pop_back();
  while (!text.empty() && blank(text.front()))
    text.erase(text.begin());
  if (text.empty())
    return true;
  const auto lower = [](std::string value) {
    for (char& c : value)
      if (c >= 'A' && c <= 'Z')
        c = static_cast<char>(c - 'A' + 'a');
    return value;
  };
  if (lower(text) == "direct") {
    proxy.mode = HttpClient::ProxyMode::Direct;
    return true;
  }
  constexpr std::string_view kScheme = "http://";
  if (lower(text.substr(0, kScheme.size())) == kScheme)
    text.erase(0, kScheme.size());
  if (!text.empty() && text.back() == '/')
    text.pop_back();
  // host:port, the port a number of 1 to 65535, the host plain.
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() ||
      text.size() - colon > 6)
    return false;
  unsigned port = 0;
  for (std::size_t i = colon + 1; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9')
      return false;
    port = port * 10 + static_cast<unsigned>(text[i] - '0');
  }
  const bool plainHost =
      std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-' || c == '_' || c == '[' || c == ']' || c == ':';
      });
  if (port == 0 || port > 65535 || !plainHost)
    return false;
  proxy.mode = HttpClient::ProxyMode::Server;
  proxy.server = text;
  return true;
}

std::uint32_t TimeoutMilliseconds(std::int32_t timeoutSetting)
{
  constexpr std::int32_t kDefaultSeconds = 60;
  constexpr std::int32_t kFirstMilliseconds = 1000;
  if (timeoutSetting <= 0)
    timeoutSetting = kDefaultSeconds;
  if (timeoutSetting >= kFirstMilliseconds)
    return static_cast<std::uint32_t>(timeoutSetting);
  return static_cast<std::uint32_t>(timeoutSetting) * 1000;
}

}  // namespace orv
