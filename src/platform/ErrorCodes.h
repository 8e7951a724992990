#pragma once

#include <cstdint>

namespace orv::err {

// The error numbers the launcher logs and compares. They are the Windows
// numbers, so a log line reads the same whichever back-end produced it; the
// Linux back-ends translate their own errors into these.
inline constexpr std::uint32_t kFileNotFound = 2;
inline constexpr std::uint32_t kPathNotFound = 3;
inline constexpr std::uint32_t kAccessDenied = 5;
inline constexpr std::uint32_t kInvalidHandle = 6;
inline constexpr std::uint32_t kNotEnoughMemory = 8;
inline constexpr std::uint32_t kInvalidData = 13;
inline constexpr std::uint32_t kWriteFault = 29;
inline constexpr std::uint32_t kReadFault = 30;
inline constexpr std::uint32_t kSharingViolation = 32;
inline constexpr std::uint32_t kHandleEof = 38;
inline constexpr std::uint32_t kFileExists = 80;
inline constexpr std::uint32_t kInvalidParameter = 87;
inline constexpr std::uint32_t kDiskFull = 112;
inline constexpr std::uint32_t kInvalidName = 123;
inline constexpr std::uint32_t kDirNotEmpty = 145;
inline constexpr std::uint32_t kAlreadyExists = 183;
inline constexpr std::uint32_t kBadExeFormat = 193;
inline constexpr std::uint32_t kFilenameTooLong = 206;
inline constexpr std::uint32_t kDirectoryInvalid = 267;
inline constexpr std::uint32_t kCancelled = 1223;

// Internet errors.
inline constexpr std::uint32_t kInternetTimeout = 12002;
inline constexpr std::uint32_t kInternetInternalError = 12004;
inline constexpr std::uint32_t kInternetNameNotResolved = 12007;
inline constexpr std::uint32_t kInternetOperationCancelled = 12017;
inline constexpr std::uint32_t kInternetIncorrectHandleType = 12018;
inline constexpr std::uint32_t kInternetIncorrectHandleState = 12019;
inline constexpr std::uint32_t kInternetCannotConnect = 12029;
inline constexpr std::uint32_t kInternetConnectionAborted = 12030;
inline constexpr std::uint32_t kInternetConnectionReset = 12031;
inline constexpr std::uint32_t kInternetHttpsToHttpOnRedirect = 12040;
inline constexpr std::uint32_t kInternetInvalidCa = 12045;
inline constexpr std::uint32_t kHttpHeaderNotFound = 12150;
inline constexpr std::uint32_t kHttpInvalidServerResponse = 12152;
inline constexpr std::uint32_t kHttpRedirectFailed = 12156;
inline constexpr std::uint32_t kInternetSecurityChannelError = 12157;

}  // namespace orv::err
