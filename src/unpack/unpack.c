/* The packing library: zlib-format packing behind the three entry points
 * described in unpack.h. */
#define ORV_BUILDING_UNPACK
#include "unpack.h"

#include <stdlib.h>
#include <zlib.h>

/* The unpacked length is a 32-bit count; a stream that grows past it is
 * refused rather than wrapped. */
#define UNPACK_MAX_SIZE 0xFFFFFFFFu

static int UnpackInto(const void* source, uint32_t packedSize, unsigned char* buffer,
                      uint32_t expected)
{
  uLongf length = expected;
  /* uncompress stops at the end of the caller's buffer: data that unpacks to
   * more than expected fails with Z_BUF_ERROR instead of overrunning it. */
  if (uncompress(buffer, &length, (const Bytef*)source, packedSize) != Z_OK)
    return 0;
  return length == expected;
}

/* Unpacks a stream of unknown length into a growing buffer. */
static unsigned char* UnpackGrowing(const void* source, uint32_t packedSize, uint32_t* size)
{
  z_stream stream;
  unsigned char* buffer;
  uint64_t capacity = (uint64_t)packedSize * 4 < 256 ? 256 : (uint64_t)packedSize * 4;
  int status;

  if (capacity > UNPACK_MAX_SIZE)
    capacity = UNPACK_MAX_SIZE;
  buffer = (unsigned char*)malloc((size_t)capacity);
  if (!buffer)
    return NULL;

  stream.zalloc = Z_NULL;
  stream.zfree = Z_NULL;
  stream.opaque = Z_NULL;
  stream.next_in = (Bytef*)source;
  stream.avail_in = packedSize;
  if (inflateInit(&stream) != Z_OK) {
    free(buffer);
    return NULL;
  }
  for (;;) {
    stream.next_out = buffer + stream.total_out;
    stream.avail_out = (uInt)(capacity - stream.total_out);
    status = inflate(&stream, Z_NO_FLUSH);
    if (status == Z_STREAM_END)
      break;
    if (status != Z_OK && status != Z_BUF_ERROR)
      goto fail;
    if (stream.avail_out != 0) /* input ran out before the stream ended */
      goto fail;
    if (capacity == UNPACK_MAX_SIZE)
      goto fail;
    capacity = capacity * 2 > UNPACK_MAX_SIZE ? UNPACK_MAX_SIZE : capacity * 2;
    {
      unsigned char* grown = (unsigned char*)realloc(buffer, (size_t)capacity);
      if (!grown)
        goto fail;
      buffer = grown;
    }
  }
  *size = (uint32_t)stream.total_out;
  inflateEnd(&stream);
  return buffer;

fail:
  inflateEnd(&stream);
  free(buffer);
  return NULL;
}

UNPACK_API int UNPACK_CALL Pack(const void* source, uint32_t size, void** packed,
                                uint32_t* packedSize, int32_t level, int32_t reserved)
{
  uLongf length;
  unsigned char* buffer;

  if (!packed || !packedSize || (!source && size != 0) || reserved != 0)
    return 0;
  if (level < -1 || level > 9)
    return 0;
  length = compressBound(size);
  if (length > UNPACK_MAX_SIZE)
    return 0;
  buffer = (unsigned char*)malloc(length ? length : 1);
  if (!buffer)
    return 0;
  if (compress2(buffer, &length, (const Bytef*)source, size, level) != Z_OK) {
    free(buffer);
    return 0;
  }
  *packed = buffer;
  *packedSize = (uint32_t)length;
  return 1;
}

UNPACK_API int UNPACK_CALL Unpack(const void* source, uint32_t packedSize, void** buffer,
                                  uint32_t* size, int32_t format)
{
  if (format != 1 || !source || !buffer || !size)
    return 0;

  if (*buffer)
    return UnpackInto(source, packedSize, (unsigned char*)*buffer, *size);

  if (*size != 0) {
    unsigned char* own = (unsigned char*)malloc(*size);
    if (!own)
      return 0;
    if (!UnpackInto(source, packedSize, own, *size)) {
      free(own);
      return 0;
    }
    *buffer = own;
    return 1;
  }

  {
    uint32_t length = 0;
    unsigned char* own = UnpackGrowing(source, packedSize, &length);
    if (!own)
      return 0;
    *buffer = own;
    *size = length;
    return 1;
  }
}

UNPACK_API int UNPACK_CALL PackFree(void* data)
{
  if (!data)
    return 0;
  free(data);
  return 1;
}
