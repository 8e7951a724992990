#pragma once

#include <cstddef>
#include <string>

// The escapes of request paths and form bodies, read alike by the demo's
// sites and by the test servers that look at what the launcher sent.
namespace webform {

// The value of a hexadecimal digit, or -1 for any other character.
inline int HexDigit(char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// %XX escapes decoded into their bytes; '+' becomes a blank only where
// plusIsBlank (a form body: a browser encodes a blank so, a path keeps '+').
// A malformed escape stays as it is.
inline std::string PercentDecode(const std::string& encoded, bool plusIsBlank)
{
  std::string decoded;
  for (std::size_t at = 0; at < encoded.size(); ++at) {
    const char c = encoded[at];
    if (c == '+' && plusIsBlank) {
      decoded += ' ';
    } else if (c == '%' && at + 2 < encoded.size() && HexDigit(encoded[at + 1]) >= 0 &&
               HexDigit(encoded[at + 2]) >= 0) {
      decoded += static_cast<char>(HexDigit(encoded[at + 1]) * 16 + HexDigit(encoded[at + 2]));
      at += 2;
    } else {
      decoded += c;
    }
  }
  return decoded;
}

// The decoded value of one field of an encoded form body; "" when absent.
inline std::string FormField(const std::string& body, const std::string& name)
{
  for (std::size_t at = 0; at <= body.size();) {
    std::size_t end = body.find('&', at);
    if (end == std::string::npos)
      end = body.size();
    const std::string pair = body.substr(at, end - at);
    const std::size_t equals = pair.find('=');
    if (equals != std::string::npos && PercentDecode(pair.substr(0, equals), true) == name)
      return PercentDecode(pair.substr(equals + 1), true);
    at = end + 1;
  }
  return {};
}

}  // namespace webform
