#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/CGlobal.h"
#include "support/FrameFixture.h"

namespace orv::test {
namespace {

class PackLibraryTest : public FrameFixture {
 protected:
  void SetUp() override { global = &StartLauncher(); }

  // Packs through the host service, as a plugin would.
  std::vector<std::uint8_t> Packed(const std::string& text)
  {
    void* packed = nullptr;
    std::uint32_t packedSize = 0;
    EXPECT_EQ(global->Pack(text.data(), static_cast<std::uint32_t>(text.size()), &packed,
                           &packedSize),
              1);
    std::vector<std::uint8_t> bytes(static_cast<std::uint8_t*>(packed),
                                    static_cast<std::uint8_t*>(packed) + packedSize);
    EXPECT_EQ(global->PackDataRelease(packed), 1);
    return bytes;
  }

  static std::vector<std::uint8_t> Bytes(const std::string& text)
  {
    return {text.begin(), text.end()};
  }

  CGlobal* global = nullptr;
};

// --- CGlobal::Unpack for archive entries ---

TEST_F(PackLibraryTest, StoredEntryIsCopied)
{
  const std::string entry = "stored as it is";
  std::vector<std::uint8_t> out;
  const auto size = static_cast<std::uint32_t>(entry.size());
  EXPECT_TRUE(global->Unpack(size, size, Bytes(entry).data(), out));
  EXPECT_EQ(out, Bytes(entry));
}

TEST_F(PackLibraryTest, PackedEntryIsUnpackedWhateverItsPackedMark)
{
  const std::string entry(5000, 'z');
  const std::vector<std::uint8_t> packed = Packed(entry);
  const auto size = static_cast<std::uint32_t>(packed.size());
  for (std::uint32_t stored : {size, size | 0x80000000u}) {
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(global->Unpack(stored, 5000, packed.data(), out));
    EXPECT_EQ(out, Bytes(entry));
  }
  EXPECT_TRUE(m_view.Messages().empty());
}

TEST_F(PackLibraryTest, APackedEntryAsLongAsItsContentIsUnpackedNotCopied)
{
  // Only the whole stored size, packed mark included, equal to the size
  // means "stored as it is". A run after an incompressible head packs to
  // about the head's length: some length of run makes both sizes equal.
  std::string head(64, '\0');
  for (std::size_t i = 0; i < head.size(); ++i)
    head[i] = static_cast<char>((i * 167 + 13) % 251);
  for (std::size_t run = 0; run < 256; ++run) {
    const std::string entry = head + std::string(run, 'r');
    const std::vector<std::uint8_t> packed = Packed(entry);
    if (packed.size() != entry.size())
      continue;
    const auto size = static_cast<std::uint32_t>(entry.size());
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(global->Unpack(size | 0x80000000u, size, packed.data(), out));
    EXPECT_EQ(out, Bytes(entry));
    return;
  }
  FAIL() << "no run length packed to the entry's own length";
}

TEST_F(PackLibraryTest, CorruptEntryIsReportedAndHandedOverAsZeros)
{
  const std::vector<std::uint8_t> garbage = {1, 2, 3, 4, 5};
  std::vector<std::uint8_t> out;
  // The box waits for the window thread, which logs under the shared lock:
  // the lock must be free while the box is up.
  bool lockFreeDuringBox = false;
  m_view.whileMessageShown = [&] {
    std::thread window([&] {
      if (global->lock.try_lock()) {
        lockFreeDuringBox = true;
        global->lock.unlock();
      }
    });
    window.join();
  };
  EXPECT_FALSE(global->Unpack(5u | 0x80000000u, 10, garbage.data(), out));
  EXPECT_TRUE(lockFreeDuringBox);
  EXPECT_EQ(out, std::vector<std::uint8_t>(10, 0));
  ASSERT_EQ(m_view.Messages().size(), 1u);
  EXPECT_EQ(m_view.Messages()[0].caption, "Error");
  EXPECT_EQ(m_view.Messages()[0].text,
            "データの解凍に失敗しました\nPackSize:5 UnpackSize:10\nUnpackDataErr\nCGlobal::Unpack");
}

TEST_F(PackLibraryTest, EntryThatUnpacksLongerThanDeclaredIsRefused)
{
  const std::vector<std::uint8_t> packed = Packed(std::string(100, 'l'));
  std::vector<std::uint8_t> out;
  EXPECT_FALSE(global->Unpack(static_cast<std::uint32_t>(packed.size()) | 0x80000000u, 10,
                              packed.data(), out));
  EXPECT_EQ(out.size(), 10u);
}

// An empty entry used to pass no buffer, so the library allocated one that
// nobody freed and any data passed for the entry.
TEST_F(PackLibraryTest, EmptyEntryUnpacksOnlyFromDataThatIsEmpty)
{
  const std::vector<std::uint8_t> empty = Packed("");
  const std::vector<std::uint8_t> notEmpty = Packed("abc");
  std::vector<std::uint8_t> out;
  EXPECT_TRUE(global->Unpack(static_cast<std::uint32_t>(empty.size()) | 0x80000000u, 0,
                             empty.data(), out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(global->Unpack(static_cast<std::uint32_t>(notEmpty.size()) | 0x80000000u, 0,
                              notEmpty.data(), out));
}

// --- The host services plugins call ---

TEST_F(PackLibraryTest, PluginCanPackUnpackIntoALibraryBufferAndRelease)
{
  const std::vector<std::uint8_t> packed = Packed("plugin data");
  void* buffer = nullptr;
  std::uint32_t size = 0;
  ASSERT_EQ(global->Unpack(packed.data(), static_cast<std::uint32_t>(packed.size()), &buffer,
                           &size),
            1);
  EXPECT_EQ(std::string(static_cast<char*>(buffer), size), "plugin data");
  EXPECT_EQ(global->PackDataRelease(buffer), 1);
  EXPECT_TRUE(m_view.Messages().empty());
}

TEST_F(PackLibraryTest, HostServiceFailuresShowTheirTexts)
{
  const std::uint8_t garbage[] = {9, 9, 9};
  void* buffer = nullptr;
  std::uint32_t size = 64;
  EXPECT_EQ(global->Unpack(garbage, 3, &buffer, &size), 0);
  EXPECT_EQ(global->PackDataRelease(nullptr), 0);
  void* packed = nullptr;
  EXPECT_EQ(global->Pack("x", 1, &packed, nullptr), 0);

  const auto messages = m_view.Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].text,
            "データの解凍に失敗しました\nPackSize:3 UnpackSize:64\nUnpackDataErr\nCGlobal::Unpack");
  EXPECT_EQ(messages[1].text, "データの解放に失敗しました\nDataReleaseErr\nCGlobal::PackDataRelease");
  EXPECT_EQ(messages[2].text, "データの圧縮に失敗しました\nPackDataErr\nCGlobal::Pack");
  for (const auto& message : messages)
    EXPECT_EQ(message.caption, "Error");
}

}  // namespace
}  // namespace orv::test
