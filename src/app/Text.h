#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <string_view>

#if defined(__GNUC__)
#define ORV_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ORV_PRINTF(fmt, args)
#endif

namespace orv {

// Whether a byte starts a double-byte character of Shift_JIS (code page 932);
// the byte after it belongs to the same character even when it is `\`.
constexpr bool IsLeadByte(unsigned char byte)
{
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// Copies text into a fixed zero-terminated field, cut to the field's size less
// one byte. Returns false when it had to cut: callers for which a cut text
// would name something else (a path) refuse it instead of using it.
bool CopyText(char* field, std::size_t fieldSize, std::string_view text);

template <std::size_t N>
bool CopyText(char (&field)[N], std::string_view text)
{
  return CopyText(field, N, text);
}

// vsnprintf into a fixed buffer; false when the result was cut.
bool FormatText(char* buffer, std::size_t size, const char* format, std::va_list args)
    ORV_PRINTF(3, 0);

}  // namespace orv
