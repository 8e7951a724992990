#pragma once

#include <cstdint>

namespace orv {

class CGlobal;
struct ConnectionContext;

// GETs a path over plain HTTP without cookies into the context's body, with
// the status line and the progress bar following the transfer. The body
// must be exactly as long as the response announces, and at most
// kMemoryDownloadLimit bytes.
bool DownloadToMemory(CGlobal& global, const char* path, ConnectionContext& context,
                      const char* host, std::uint16_t port);

// The largest body DownloadToMemory accepts: it serves small texts, and a
// server announcing more must not make the launcher allocate it.
inline constexpr std::uint32_t kMemoryDownloadLimit = 16u << 20;

// GETs a path from the patch server into "<startDir>\_temp\<fileName>". The
// destination is created empty first and receives the body only when the
// whole of it has arrived (it is streamed into a file beside it meanwhile),
// so a failed or stopped download leaves an empty file.
bool DownloadToFile(CGlobal& global, ConnectionContext& context, const char* path,
                    const char* fileName);

}  // namespace orv
