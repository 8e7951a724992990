#include "support/ForwardProxy.h"

#include <cstdlib>

#include "support/LoopbackContent.h"

namespace orv::test::proxy {

namespace {

// The port of "host:port", or of "[v6]:port"; fallback when none is named.
std::optional<std::uint16_t> PortOf(const std::string& authority, std::uint16_t fallback)
{
  const std::size_t colon = authority.rfind(':');
  if (colon == std::string::npos || authority.find(']', colon) != std::string::npos)
    return fallback;
  const std::string digits = authority.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const unsigned long port = std::strtoul(digits.c_str(), nullptr, 10);
  if (port == 0 || port > 65535)
    return std::nullopt;
  return static_cast<std::uint16_t>(port);
}

bool IsHopByHop(const std::string& name)
{
  for (const char* hop : {"Connection", "Proxy-Connection", "Keep-Alive", "Proxy-Authorization"})
    if (loopback::EqualNoCase(name, hop))
      return true;
  return false;
}

}  // namespace

std::optional<Forwarding> Forward(const std::string& head)
{
  const std::size_t lineEnd = head.find("\r\n");
  if (lineEnd == std::string::npos)
    return std::nullopt;
  Forwarding forwarding;
  forwarding.requestLine = head.substr(0, lineEnd);
  const std::string& line = forwarding.requestLine;
  const std::size_t first = line.find(' ');
  const std::size_t last = line.rfind(' ');
  if (first == std::string::npos || last == first)
    return std::nullopt;
  const std::string method = line.substr(0, first);
  const std::string target = line.substr(first + 1, last - first - 1);
  const std::string version = line.substr(last + 1);

  if (method == "CONNECT") {
    const auto port = PortOf(target, 443);
    if (!port)
      return std::nullopt;
    forwarding.tunnel = true;
    forwarding.port = *port;
    return forwarding;
  }

  static const std::string kScheme = "http://";
  if (target.compare(0, kScheme.size(), kScheme) != 0)
    return std::nullopt;
  const std::size_t pathStart = target.find('/', kScheme.size());
  const std::string authority =
      target.substr(kScheme.size(), pathStart == std::string::npos ? std::string::npos
                                                                   : pathStart - kScheme.size());
  const auto port = PortOf(authority, 80);
  if (authority.empty() || !port)
    return std::nullopt;
  forwarding.port = *port;
  forwarding.serverHead = method + " " +
                          (pathStart == std::string::npos ? "/" : target.substr(pathStart)) + " " +
                          version + "\r\n";
  for (std::size_t at = lineEnd + 2; at < head.size();) {
    const std::size_t end = head.find("\r\n", at);
    if (end == std::string::npos || end == at)
      break;
    const std::string field = head.substr(at, end - at);
    if (!IsHopByHop(field.substr(0, field.find(':'))))
      forwarding.serverHead += field + "\r\n";
    at = end + 2;
  }
  forwarding.serverHead += "Connection: close\r\n\r\n";
  return forwarding;
}

}  // namespace orv::test::proxy

namespace orv::test {

std::string ForwardProxy::address() const
{
  return "127.0.0.1:" + std::to_string(port());
}

}  // namespace orv::test
