// The byte queue between curl and the launcher's reads, and the ASCII
// helpers the Linux back-ends share.
#include <gtest/gtest.h>

#include <string>

#include "platform/posix/AsciiText.h"
#include "platform/posix/ByteQueue.h"

namespace orv::posix {
namespace {

// Appends and takes in uneven pieces, so the queue both moves its bytes to
// the front and grows with bytes held: what comes out is what went in, in
// order, whatever the pieces.
TEST(ByteQueueTest, BytesComeOutInOrderThroughCompactionAndGrowth)
{
  ByteQueue queue;
  std::string in;
  std::string out;
  unsigned next = 0;
  for (std::size_t round = 0; round < 200; ++round) {
    std::string piece((round * 7919) % 50000 + 1, '\0');
    for (char& c : piece)
      c = static_cast<char>(next++ % 251);
    queue.Append(piece.data(), piece.size());
    in += piece;
    std::string taken((round * 104729) % 60000, '\0');
    taken.resize(queue.Take(taken.data(), taken.size()));
    out += taken;
  }
  std::string rest(queue.size(), '\0');
  EXPECT_EQ(queue.Take(rest.data(), rest.size() + 10), rest.size());
  out += rest;
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(out, in);

  queue.Append("ab", 2);
  queue.Release();
  EXPECT_TRUE(queue.empty());
  char c = 0;
  EXPECT_EQ(queue.Take(&c, 1), 0u);
}

TEST(AsciiTextTest, OnlyAsciiLettersFoldAndNumbersMustFit64Bits)
{
  EXPECT_TRUE(StartsWithNoCase("Content-Length: 5", "content-length:"));
  EXPECT_TRUE(ContainsNoCase("gzip, CHUNKED", "chunked"));
  EXPECT_TRUE(EqualsNoCase("UNPACK.DLL", "unpack.dll"));
  EXPECT_FALSE(EqualsNoCase("\xC3\xA9", "\xC3\x89"));  // no letter beyond ASCII folds
  EXPECT_FALSE(EqualsNoCase("abc", "abcd"));

  EXPECT_EQ(TrimLine(" \t 200 OK\r\n"), "200 OK");
  EXPECT_EQ(ParseDecimal("18446744073709551615"), 18446744073709551615u);
  EXPECT_EQ(ParseDecimal("18446744073709551616"), std::nullopt);
  EXPECT_EQ(ParseDecimal("12 "), std::nullopt);
  EXPECT_EQ(ParseDecimal(""), std::nullopt);
}

}  // namespace
}  // namespace orv::posix
