#pragma once

#include <string>
#include <string_view>

namespace orv::posix {

// The launcher's texts are Shift_JIS (code page 932); Linux speaks UTF-8.
// Both conversions fail on bytes the other side cannot express.
bool Cp932ToUtf8(std::string_view cp932, std::string& utf8);
bool Utf8ToCp932(std::string_view utf8, std::string& cp932);

// Whether a byte starts a double-byte character of code page 932; the byte
// after it belongs to the same character even when it is '\' (0x5C).
constexpr bool IsCp932LeadByte(unsigned char byte)
{
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// A launcher path as Linux names it: UTF-8 with '/' for every separator '\'.
bool ToNativePath(std::string_view path, std::string& native);

}  // namespace orv::posix
