#include "platform/win32/HttpClientWinInet.h"

#include <windows.h>
#include <wininet.h>

#include "platform/ErrorCodes.h"
#include "platform/win32/Win32Error.h"

namespace orv::win32 {

namespace {

std::uint32_t Result(BOOL succeeded)
{
  return succeeded ? 0 : LastErrorOr(err::kInternetInternalError);
}

}  // namespace

std::uint32_t HttpClientWinInet::OpenInternet(HttpHandle& internet)
{
  internet = InternetOpenA(nullptr, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  return Result(internet != nullptr);
}

std::uint32_t HttpClientWinInet::SetTimeout(HttpHandle internet, std::uint32_t option,
                                            std::uint32_t milliseconds)
{
  DWORD value = milliseconds;
  return Result(InternetSetOptionA(internet, option, &value, sizeof value));
}

std::uint32_t HttpClientWinInet::Connect(HttpHandle internet, const char* host,
                                         std::uint16_t port, HttpHandle& connection)
{
  connection =
      InternetConnectA(internet, host, port, "", "", INTERNET_SERVICE_HTTP, 0, 0);
  return Result(connection != nullptr);
}

std::uint32_t HttpClientWinInet::OpenRequest(HttpHandle connection, const char* verb,
                                             const char* path, const char* referrer,
                                             std::uint32_t flags, HttpHandle& request)
{
  request = HttpOpenRequestA(connection, verb, path, nullptr, referrer, nullptr, flags, 0);
  return Result(request != nullptr);
}

std::uint32_t HttpClientWinInet::SendRequest(HttpHandle request, const char* headers,
                                             std::uint32_t headersLength, const void* body,
                                             std::uint32_t bodyLength)
{
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_received[request] = 0;
  }
  return Result(HttpSendRequestA(request, headers, headers ? headersLength : 0,
                                 const_cast<void*>(body), body ? bodyLength : 0));
}

std::uint32_t HttpClientWinInet::QueryNumber(HttpHandle request, std::uint32_t infoLevel,
                                             std::uint32_t& value)
{
  DWORD number = 0;
  DWORD size = sizeof number;
  const std::uint32_t error = Result(HttpQueryInfoA(request, infoLevel, &number, &size, nullptr));
  if (error == 0)
    value = number;
  return error;
}

std::uint32_t HttpClientWinInet::QueryDataAvailable(HttpHandle request, std::uint32_t& available)
{
  DWORD count = 0;
  const std::uint32_t error = Result(InternetQueryDataAvailable(request, &count, 0, 0));
  available = error == 0 ? count : 0;
  if (error == 0 && count == 0)
    return CheckEnd(request);
  return error;
}

std::uint32_t HttpClientWinInet::Read(HttpHandle request, void* buffer, std::uint32_t size,
                                      std::uint32_t& read)
{
  // One InternetReadFile may answer fewer bytes than asked while the body
  // goes on; the launcher is promised all of them or the end.
  read = 0;
  while (read < size) {
    DWORD got = 0;
    if (!InternetReadFile(request, static_cast<char*>(buffer) + read, size - read, &got)) {
      Count(request, read);
      return LastErrorOr(err::kInternetInternalError);
    }
    if (got == 0) {
      Count(request, read);
      // The bytes before the end are the caller's; a short body is
      // reported by the read after them.
      return read == 0 ? CheckEnd(request) : 0;
    }
    read += got;
  }
  Count(request, read);
  return 0;
}

void HttpClientWinInet::Count(HttpHandle request, std::uint64_t bytes)
{
  std::lock_guard<std::mutex> lock(m_lock);
  m_received[request] += bytes;
}

std::uint32_t HttpClientWinInet::CheckEnd(HttpHandle request)
{
  DWORD announced = 0;
  DWORD size = sizeof announced;
  if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &announced,
                      &size, nullptr))
    return 0;  // no length: the end is whatever the server says it is
  std::lock_guard<std::mutex> lock(m_lock);
  const auto received = m_received.find(request);
  if (received != m_received.end() && received->second < announced)
    return err::kInternetConnectionAborted;
  return 0;
}

void HttpClientWinInet::Close(HttpHandle handle)
{
  if (!handle)
    return;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_received.erase(handle);
  }
  InternetCloseHandle(handle);
}

}  // namespace orv::win32
