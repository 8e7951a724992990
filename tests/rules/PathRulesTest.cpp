// How names from the server are judged and split, byte for byte in
// Shift_JIS: the second byte of ソ (83 5C) and 表 (95 5C) is `\`.
#include <gtest/gtest.h>

#include "app/PathParts.h"
#include "patcher/SafePath.h"

namespace orv {
namespace {

TEST(ContainedPathTest, RefusesNamesThatLeaveTheirFolder)
{
  for (const char* name : {"a.cab", "data\\sub\\file.dat", "x/y.txt", "..a", "a..\\b", "ソ\\表.txt"})
    EXPECT_TRUE(IsContainedRelativePath(name)) << name;
  for (const char* name : {"", "..", "..\\evil", "a\\..\\..\\evil", "a/../b", "\\root.txt",
                           "/etc/passwd", "C:\\x", "C:x", "file.txt:stream", "a\\..", "ソ\\..\\.."})
    EXPECT_FALSE(IsContainedRelativePath(name)) << name;
}

TEST(SplitPathTest, SplitsAsTheRuntimeDoesWithoutBreakingDoubleByteCharacters)
{
  PathParts parts = SplitPath("C:\\games\\data.v2\\map.dat");
  EXPECT_EQ(parts.drive, "C:");
  EXPECT_EQ(parts.folder, "\\games\\data.v2\\");
  EXPECT_EQ(parts.name, "map");
  EXPECT_EQ(parts.extension, ".dat");

  parts = SplitPath("ソ\\表");  // both `\` bytes inside characters but the middle one
  EXPECT_EQ(parts.folder, "ソ\\");
  EXPECT_EQ(parts.name, "表");
  EXPECT_EQ(parts.extension, "");

  parts = SplitPath("readme");
  EXPECT_EQ(parts.folder, "");
  EXPECT_EQ(parts.name, "readme");
}

}  // namespace
}  // namespace orv
