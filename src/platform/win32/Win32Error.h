#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orv::win32 {

// GetLastError() after a call that reported failure. A failure must never
// read as success, so a call that failed without setting an error answers
// the given fallback instead of 0.
std::uint32_t LastErrorOr(std::uint32_t fallback);

// "<error> (<the system's text for it>)", the text looked up in the module
// of that name first (wininet.dll holds the texts of its own numbers) and
// then among the system's; the number alone when neither knows it.
std::string ErrorText(std::uint32_t error, const char* module = nullptr);

// The index of the last `\` or `/` of a path in the ANSI code page, or npos;
// the second byte of a double-byte character is never taken for one.
std::size_t LastSeparator(const char* path);

}  // namespace orv::win32
