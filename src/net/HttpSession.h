#pragma once

#include <cstdint>
#include <string>

#include "platform/HttpClient.h"

namespace orv {

class CGlobal;

// The launcher's wrapper over the platform's internet library: three
// handles and one operation per library call, each writing its English line
// with the error number to the process log when it fails. Results are 0 or
// kEFail. A session belongs to one thread at a time and carries no lock.
class HttpSession {
 public:
  explicit HttpSession(CGlobal& global);
  ~HttpSession();

  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // Opens the library handle and sets the connect, send and receive
  // time-outs in that order, stopping at the first that fails.
  std::int32_t Open(std::uint32_t timeoutMilliseconds);
  std::int32_t Connect(const char* host, std::uint16_t port);
  // The open-request step every exchange performs itself; writes
  // "OpenRequest Err:[%d]" on failure, the caller adds its own line.
  std::int32_t OpenRequest(const char* verb, const char* path, const char* referrer,
                           std::uint32_t flags);
  std::int32_t SendRequest(const char* headers, std::uint32_t headersLength, const void* body,
                           std::uint32_t bodyLength);
  std::int32_t QueryInfo(std::uint32_t infoLevel, std::uint32_t& value);
  // A header of the response; kEFail, with no line, when there is none.
  std::int32_t QueryHeader(const char* name, std::string& value);
  std::int32_t InetReadFile(void* buffer, std::uint32_t size, std::uint32_t& read);
  std::int32_t InetQueryDataAvail(std::uint32_t& available);

  // The end of every exchange: the connection, then the request.
  void CloseExchange();
  // Teardown: connection, request, then the library handle.
  void Close();
  // From the window thread while a worker uses the session: ends the wait
  // of the exchange in progress at once, and every later exchange fails the
  // same way. For stopping a worker for good: a worker waiting on a server
  // that never answers would not see workerRun until its time-out.
  void Abort();

  // The error number of the last call that failed, for the caller's line.
  std::uint32_t LastError() const { return m_lastError; }

  HttpHandle internet = nullptr;
  HttpHandle connection = nullptr;
  HttpHandle request = nullptr;

 private:
  // Notes the error and writes the line with it, and below it in the log
  // file what the platform said about the failure of the call on handle.
  std::int32_t Fail(std::uint32_t error, const char* line, HttpHandle handle = nullptr);

  CGlobal& m_global;
  HttpClient& m_client;
  std::uint32_t m_lastError = 0;
};

// The proxy the Proxy setting names: empty for the system's settings,
// "direct" for none, or "http://host:port" (the scheme may be left out).
// False for any other text; proxy is then the system's settings.
bool ProxyOfSetting(const char* setting, HttpClient::Proxy& proxy);

// The Timeout setting in the milliseconds the library takes. Below 1000 it
// is a number of seconds; from 1000 on it was written in milliseconds, as
// the library counts, and is taken as it stands (read as seconds, 30000
// would wait more than eight hours). 0 or less means the default of 60 s.
std::uint32_t TimeoutMilliseconds(std::int32_t timeoutSetting);

}  // namespace orv
