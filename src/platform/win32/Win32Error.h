#pragma once

#include <cstddef>
#include <cstdint>

namespace orv::win32 {

// GetLastError() after a call that reported failure. A failure must never
// read as success, so a call that failed without setting an error answers
// the given fallback instead of 0.
std::uint32_t LastErrorOr(std::uint32_t fallback);

// The index of the last `\` or `/` of a path in the ANSI code page, or npos;
// the second byte of a double-byte character is never taken for one.
std::size_t LastSeparator(const char* path);

}  // namespace orv::win32
