#include <gtest/gtest.h>

#include <string>

#include "Win32TestSupport.h"
#include "platform/win32/ProfileWin32.h"
#include "profile/ProfileCorpus.h"

namespace orv::test::win32 {
namespace {

// Wine shows the Linux file system as drive Z:.
std::string GoldenPathUnderWine()
{
  std::string path = "Z:" + profile::GoldenSourcePath();
  for (char& c : path)
    c = c == '/' ? '\\' : c;
  return path;
}

TEST(ProfileDifferential, Win32MatchesTheGoldenTranscript)
{
  TempFolder dir;
  orv::win32::ProfileWin32 store;
  const std::string transcript = profile::RunCorpus(store, dir.path(), '\\');
  const std::string difference = profile::CompareWithGolden(GoldenPathUnderWine(), transcript,
                                                             "profile-transcript-win32.txt");
  EXPECT_TRUE(difference.empty()) << difference;
}

}  // namespace
}  // namespace orv::test::win32
