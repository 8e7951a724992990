#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "unpack/unpack.h"

namespace orv::test {
namespace {

std::vector<std::uint8_t> Sample(std::size_t size)
{
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t state = 12345;
  for (std::size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    // Half noise, half runs: some of it packs, some does not.
    bytes[i] = (i / 512) % 2 ? static_cast<std::uint8_t>(state >> 24) : static_cast<std::uint8_t>(i / 512);
  }
  return bytes;
}

std::vector<std::uint8_t> PackBytes(const std::vector<std::uint8_t>& data, int level = 1)
{
  void* packed = nullptr;
  std::uint32_t packedSize = 0;
  EXPECT_NE(Pack(data.data(), static_cast<std::uint32_t>(data.size()), &packed, &packedSize, level, 0), 0);
  std::vector<std::uint8_t> bytes(static_cast<std::uint8_t*>(packed),
                                  static_cast<std::uint8_t*>(packed) + packedSize);
  EXPECT_NE(PackFree(packed), 0);
  return bytes;
}

// --- Pack ---

TEST(Pack, WritesTheZlibFormatAtTheGivenLevel)
{
  const std::vector<std::uint8_t> data = Sample(100000);
  const std::vector<std::uint8_t> fast = PackBytes(data, 1);
  const std::vector<std::uint8_t> stored = PackBytes(data, 0);
  ASSERT_GE(fast.size(), 2u);
  EXPECT_EQ(fast[0], 0x78);  // deflate, 32 KiB window
  EXPECT_EQ((fast[0] * 256 + fast[1]) % 31, 0);
  EXPECT_LT(fast.size(), data.size());
  EXPECT_GT(stored.size(), data.size());
}

TEST(Pack, RefusesBadArguments)
{
  void* packed = nullptr;
  std::uint32_t size = 0;
  EXPECT_EQ(Pack("x", 1, &packed, &size, 1, 7), 0);   // reserved must be 0
  EXPECT_EQ(Pack("x", 1, &packed, &size, 10, 0), 0);  // no such level
  EXPECT_EQ(Pack("x", 1, nullptr, &size, 1, 0), 0);
  EXPECT_EQ(Pack("x", 1, &packed, nullptr, 1, 0), 0);
  EXPECT_EQ(Pack(nullptr, 1, &packed, &size, 1, 0), 0);
  EXPECT_EQ(packed, nullptr);
}

// --- Unpack into the caller's buffer (the archive reader) ---

TEST(UnpackIntoCallerBuffer, FillsExactlyTheDeclaredSize)
{
  const std::vector<std::uint8_t> data = Sample(70000);
  const std::vector<std::uint8_t> packed = PackBytes(data);
  std::vector<std::uint8_t> out(data.size() + 16, 0xEE);
  void* buffer = out.data();
  std::uint32_t size = static_cast<std::uint32_t>(data.size());
  ASSERT_NE(Unpack(packed.data(), static_cast<std::uint32_t>(packed.size()), &buffer, &size, 1), 0);
  EXPECT_EQ(buffer, out.data());
  EXPECT_EQ(size, data.size());
  EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
  EXPECT_EQ(out.back(), 0xEE);
}

TEST(UnpackIntoCallerBuffer, DataLongerThanDeclaredFailsWithoutWritingPastTheBuffer)
{
  const std::vector<std::uint8_t> packed = PackBytes(Sample(4096));
  std::vector<std::uint8_t> out(1024 + 64, 0xEE);
  void* buffer = out.data();
  std::uint32_t size = 1024;
  EXPECT_EQ(Unpack(packed.data(), static_cast<std::uint32_t>(packed.size()), &buffer, &size, 1), 0);
  for (std::size_t i = 1024; i < out.size(); ++i)
    ASSERT_EQ(out[i], 0xEE) << "byte " << i << " written past the declared size";
}

TEST(UnpackIntoCallerBuffer, DataShorterThanDeclaredFails)
{
  const std::vector<std::uint8_t> packed = PackBytes(Sample(100));
  std::vector<std::uint8_t> out(200);
  void* buffer = out.data();
  std::uint32_t size = 200;
  EXPECT_EQ(Unpack(packed.data(), static_cast<std::uint32_t>(packed.size()), &buffer, &size, 1), 0);
}

TEST(UnpackIntoCallerBuffer, TruncatedOrCorruptDataFails)
{
  const std::vector<std::uint8_t> data = Sample(5000);
  std::vector<std::uint8_t> packed = PackBytes(data);
  std::vector<std::uint8_t> out(data.size());
  void* buffer = out.data();
  std::uint32_t size = static_cast<std::uint32_t>(data.size());
  EXPECT_EQ(Unpack(packed.data(), static_cast<std::uint32_t>(packed.size() / 2), &buffer, &size, 1), 0);
  packed[packed.size() / 2] ^= 0xFF;
  EXPECT_EQ(Unpack(packed.data(), static_cast<std::uint32_t>(packed.size()), &buffer, &size, 1), 0);
}

TEST(UnpackIntoCallerBuffer, EmptyEntryUnpacksToNothing)
{
  const std::vector<std::uint8_t> packed = PackBytes({});
  std::uint8_t out = 0xEE;
  void* buffer = &out;
  std::uint32_t size = 0;
  EXPECT_NE(Unpack(packed.data(), static_cast<std::uint32_t>(packed.size()), &buffer, &size, 1), 0);
  EXPECT_EQ(out, 0xEE);
}

// --- Unpack into a buffer the library allocates (plugins) ---

TEST(UnpackIntoLibraryBuffer, UnknownSizeGrowsToTheWholeData)
{
  // Zeros pack a thousandfold: the first guess at the size is far too small.
  const std::vector<std::uint8_t> zeros(8 << 20, 0);
  const std::vector<std::uint8_t> packed = PackBytes(zeros, 9);
  void* buffer = nullptr;
  std::uint32_t size = 0;
  ASSERT_NE(Unpack(packed.data(), static_cast<std::uint32_t>(packed.size()), &buffer, &size, 1), 0);
  EXPECT_EQ(size, zeros.size());
  EXPECT_EQ(std::memcmp(buffer, zeros.data(), zeros.size()), 0);
  EXPECT_NE(PackFree(buffer), 0);
}

TEST(UnpackIntoLibraryBuffer, KnownSizeMustMatch)
{
  const std::vector<std::uint8_t> data = Sample(3000);
  const std::vector<std::uint8_t> packed = PackBytes(data);
  void* buffer = nullptr;
  std::uint32_t size = 3000;
  ASSERT_NE(Unpack(packed.data(), static_cast<std::uint32_t>(packed.size()), &buffer, &size, 1), 0);
  EXPECT_EQ(std::memcmp(buffer, data.data(), data.size()), 0);
  EXPECT_NE(PackFree(buffer), 0);

  buffer = nullptr;
  size = 2999;
  EXPECT_EQ(Unpack(packed.data(), static_cast<std::uint32_t>(packed.size()), &buffer, &size, 1), 0);
  EXPECT_EQ(buffer, nullptr);
}

TEST(UnpackIntoLibraryBuffer, TruncatedDataFailsAndLeavesNoBuffer)
{
  const std::vector<std::uint8_t> packed = PackBytes(Sample(50000));
  void* buffer = nullptr;
  std::uint32_t size = 0;
  EXPECT_EQ(Unpack(packed.data(), static_cast<std::uint32_t>(packed.size() - 10), &buffer, &size, 1), 0);
  EXPECT_EQ(buffer, nullptr);
}

TEST(Unpack, RefusesOtherFormatsAndMissingArguments)
{
  const std::vector<std::uint8_t> packed = PackBytes(Sample(10));
  void* buffer = nullptr;
  std::uint32_t size = 0;
  EXPECT_EQ(Unpack(packed.data(), static_cast<std::uint32_t>(packed.size()), &buffer, &size, 0), 0);
  EXPECT_EQ(Unpack(packed.data(), static_cast<std::uint32_t>(packed.size()), nullptr, &size, 1), 0);
  EXPECT_EQ(Unpack(packed.data(), static_cast<std::uint32_t>(packed.size()), &buffer, nullptr, 1), 0);
  EXPECT_EQ(Unpack(nullptr, 5, &buffer, &size, 1), 0);
}

TEST(PackFree, RefusesNull)
{
  EXPECT_EQ(PackFree(nullptr), 0);
}

}  // namespace
}  // namespace orv::test
