#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "contracts/FileSystemContract.h"
#include "platform/ErrorCodes.h"
#include "platform/posix/FileSystemPosix.h"

namespace orv::test {
namespace {

std::unique_ptr<FileSystem> MakePosix()
{
  return std::make_unique<posix::FileSystemPosix>();
}
const FileSystemBackend kPosix{"Posix", MakePosix};
INSTANTIATE_TEST_SUITE_P(Posix, FileSystemContract, ::testing::Values(kPosix), BackendName);

// What only Linux can show.
class FileSystemPosixTest : public FileSystemContract {};
INSTANTIATE_TEST_SUITE_P(Posix, FileSystemPosixTest, ::testing::Values(kPosix), BackendName);

TEST_P(FileSystemPosixTest, AttributesAreExactlyTheOnesTheModeBitsSay)
{
  Write("plain", "");
  Write("ro", "");
  ASSERT_EQ(m_files.MakeFolder(Path("folder").c_str()), 0u);
  ASSERT_EQ(m_files.SetAttributes(Path("ro").c_str(), kAttributeReadOnly), 0u);
  std::vector<std::pair<std::string, std::uint32_t>> attributes;
  for (const FoundFile& file : List("*"))
    attributes.emplace_back(file.name, file.attributes);
  const std::vector<std::pair<std::string, std::uint32_t>> expected = {
      {".", kAttributeDirectory},
      {"..", kAttributeDirectory},
      {"folder", kAttributeDirectory},
      {"plain", kAttributeNormal},
      {"ro", kAttributeReadOnly}};
  EXPECT_EQ(attributes, expected);
}

TEST_P(FileSystemPosixTest, ACopyThatFailsHalfWayLeavesTheDestinationAsItWas)
{
  // Reading a process's own memory file from offset 0 fails after it opened:
  // the copy fails after the destination would have been emptied.
  Write("old", "old");
  EXPECT_NE(m_files.CopyFileOver("/proc/self/mem", Path("old").c_str(), false), 0u);
  EXPECT_EQ(Read("old"), "old");
  EXPECT_EQ(Names("*.*"), (Strings{".", "..", "old"}));
}

TEST_P(FileSystemPosixTest, ProbeFileStopsAtALinkAndTellsALoopFromAbsence)
{
  // A game folder reached through a link: the link is what is probed.
  ASSERT_EQ(m_files.MakeFolder(Path("real").c_str()), 0u);
  ASSERT_EQ(symlink("real", (m_dir.path() / "link").c_str()), 0);
  std::uint32_t attributes = 0;
  EXPECT_EQ(m_files.ProbeFile(Path("link").c_str(), attributes), 0u);
  EXPECT_EQ(attributes, kAttributeLink);
  EXPECT_EQ(m_files.ProbeFile(Path("link\\x").c_str(), attributes), err::kFileNotFound);

  // A path the system cannot resolve is not a path with nothing at its end.
  ASSERT_EQ(symlink("loop", (m_dir.path() / "loop").c_str()), 0);
  const std::uint32_t error = m_files.ProbeFile(Path("loop\\x").c_str(), attributes);
  EXPECT_NE(error, 0u);
  EXPECT_NE(error, err::kFileNotFound);
  EXPECT_NE(error, err::kPathNotFound);
}

}  // namespace
}  // namespace orv::test
