/*
 * The packing library: unpack.dll on Windows, libunpack.so on Linux.
 *
 * The launcher unpacks archive entries and plugins pack and unpack their own
 * data through these three entry points. Packed data is the zlib format
 * (RFC 1950) as compress2 writes it. Every entry point returns nonzero on
 * success and 0 on failure; on 32-bit Windows they use the stdcall
 * convention and are exported without decoration.
 *
 * Pack(source, size, &packed, &packedSize, level, reserved)
 *   Packs size bytes at source into a buffer the library allocates; the
 *   caller releases it with PackFree. level is the zlib compression level
 *   (0..9, or -1 for zlib's default); reserved must be 0.
 *
 * Unpack(source, packedSize, &buffer, &size, format)
 *   Unpacks packedSize bytes at source. format must be 1 (the zlib format).
 *   The buffer argument serves two kinds of caller:
 *   - The archive reader knows the unpacked size N of an entry: it sets
 *     buffer to its own N-byte buffer and size to N. The library fills
 *     exactly those N bytes and fails when the data does not unpack to
 *     exactly N bytes; it never writes past them.
 *   - A plugin that does not own a buffer sets buffer to NULL. The library
 *     allocates one, of size bytes when size is nonzero (failing when the
 *     data unpacks to any other length) or of the unpacked length when size
 *     is 0, and the caller releases it with PackFree.
 *   On success size holds the number of unpacked bytes. On failure a buffer
 *   the library allocated has been released again and buffer is unchanged.
 *
 * PackFree(data)
 *   Releases a buffer that Pack or Unpack allocated. Fails for NULL.
 */
#ifndef ORV_UNPACK_H
#define ORV_UNPACK_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define UNPACK_CALL __stdcall
#else
#define UNPACK_CALL
#endif

#if defined(_WIN32)
#if defined(ORV_BUILDING_UNPACK)
#define UNPACK_API __declspec(dllexport)
#else
#define UNPACK_API
#endif
#else
#define UNPACK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int(UNPACK_CALL* PackFunction)(const void* source, uint32_t size, void** packed,
                                       uint32_t* packedSize, int32_t level, int32_t reserved);
typedef int(UNPACK_CALL* UnpackFunction)(const void* source, uint32_t packedSize, void** buffer,
                                         uint32_t* size, int32_t format);
typedef int(UNPACK_CALL* PackFreeFunction)(void* data);

UNPACK_API int UNPACK_CALL Pack(const void* source, uint32_t size, void** packed,
                                uint32_t* packedSize, int32_t level, int32_t reserved);
UNPACK_API int UNPACK_CALL Unpack(const void* source, uint32_t packedSize, void** buffer,
                                  uint32_t* size, int32_t format);
UNPACK_API int UNPACK_CALL PackFree(void* data);

#ifdef __cplusplus
}
#endif

#endif
