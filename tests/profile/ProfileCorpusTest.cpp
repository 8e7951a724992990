#include <gtest/gtest.h>

#include "platform/posix/ProfilePosix.h"
#include "profile/ProfileCorpus.h"
#include "support/TempDir.h"

namespace orv::test::profile {
namespace {

TEST(ProfileCorpus, LinuxMatchesTheGoldenTranscript)
{
  TempDir dir;
  posix::ProfilePosix store;
  const std::string transcript = RunCorpus(store, dir.path().string(), '/');
  const std::string difference =
      CompareWithGolden(GoldenSourcePath(), transcript, "profile-transcript-linux.txt");
  EXPECT_TRUE(difference.empty()) << difference;
}

}  // namespace
}  // namespace orv::test::profile
