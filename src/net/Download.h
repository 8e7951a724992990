#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Crypto.h"

namespace orv {

class CGlobal;
struct ConnectionContext;

// GETs a path without cookies (over HTTPS when the deployment says so) into
// the context's body, with the status line and the progress bar following
// the transfer. The body
// must be exactly as long as the response announces, and at most
// kMemoryDownloadLimit bytes.
bool DownloadToMemory(CGlobal& global, const char* path, ConnectionContext& context,
                      const char* host, std::uint16_t port);

// The largest body DownloadToMemory accepts: it serves small texts, and a
// server announcing more must not make the launcher allocate it.
inline constexpr std::uint32_t kMemoryDownloadLimit = 16u << 20;

// What one try at a file came to.
enum class FileDownload {
  Complete,
  // A failure the next try may not meet: the connection, a time-out, a
  // stall, a busy server. The bytes that arrived are kept.
  Retry,
  // The kept bytes belong to another version of the file and were thrown
  // away; the next try starts from the beginning at once.
  Restart,
  // A failure that trying again would only repeat (not found, forbidden, a
  // length that is not the file's, a disk that cannot take the file).
  Fail,
  // workerRun cleared or the session aborted.
  Stopped,
};

// What the publisher's signature says a file is.
struct ExpectedFile {
  std::uint64_t size = 0;
  Sha256Digest sha256{};
};

// One try at bringing the file `destination` (a full path) to the whole of
// `path` on the patch server. The bytes of earlier tries are continued with
// a range request when the server still has the same version of the file
// (see PartialFile); a server that answers with the whole file instead
// starts it over. The status line and the bar show the file's bytes, the
// kept ones included, unless parallel patching is on. reached: how far into
// the file this try got, 0 when it received nothing. With expected, a
// server that announces another size is refused before the body is read,
// and the file's bytes (kept ones included) are hashed as they come: a file
// that is not the signed one never takes its name (Fail, nothing kept).
// With sizeLimit, a file announced larger than that is refused the same way
// (for what is read before any signature can vouch for its size).
FileDownload DownloadToFile(CGlobal& global, ConnectionContext& context, const char* path,
                            const std::string& destination, const char* fileName,
                            std::uint64_t& reached, const ExpectedFile* expected = nullptr,
                            std::uint64_t sizeLimit = 0);

// The waits before the tries after a failure, in milliseconds, each varied
// by up to a fifth either way; their number is the number of failures in a
// row, without a byte of progress, that are tried again.
struct RetryWaits {
  std::vector<std::uint32_t> milliseconds{1000, 2000, 4000, 8000, 16000, 30000};
};

// DownloadToFile until the file is complete, trying again after the
// failures that may pass, with one log line and a status line for each
// wait. False after the last try, on a failure that would only repeat, or
// when the worker is stopped (which also ends a wait at once).
bool DownloadWithRetries(CGlobal& global, ConnectionContext& context, const char* path,
                         const std::string& destination, const char* fileName,
                         const RetryWaits& waits, const ExpectedFile* expected = nullptr,
                         std::uint64_t sizeLimit = 0);

// Whether the file at path has the expected size and SHA-256, read from the
// disk; false, logged with the name, when it has not or cannot be read.
bool FileMatches(CGlobal& global, const std::string& path, const char* fileName,
                 const ExpectedFile& expected);

// Waits, ending early with false when workerRun is cleared.
bool WaitUnlessStopped(CGlobal& global, std::uint32_t milliseconds);

}  // namespace orv
