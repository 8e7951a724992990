// Archive entries come from files the launcher downloads: whatever their
// bytes, unpacking into the caller's buffer must stay inside it, and a
// library-made buffer must hold exactly what it says.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "unpack/unpack.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size < 2)
    return 0;
  // The first two bytes choose the declared size, as an archive record would.
  const std::uint32_t declared = static_cast<std::uint32_t>(data[0]) * 64u + data[1];
  const std::uint8_t* packed = data + 2;
  const auto packedSize = static_cast<std::uint32_t>(size - 2);

  // Exactly the declared size, so that AddressSanitizer sees any write past
  // it; never NULL, even for 0 bytes, which would ask for a library buffer.
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[declared]);
  void* into = buffer.get();
  std::uint32_t length = declared;
  Unpack(packed, packedSize, &into, &length, 1);

  void* allocated = nullptr;
  std::uint32_t unknown = 0;
  if (Unpack(packed, packedSize, &allocated, &unknown, 1)) {
    volatile std::uint8_t last = unknown ? static_cast<std::uint8_t*>(allocated)[unknown - 1] : 0;
    (void)last;
    PackFree(allocated);
  }
  return 0;
}
