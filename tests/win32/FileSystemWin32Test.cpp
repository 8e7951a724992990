#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Win32TestSupport.h"
#include "contracts/FileSystemContract.h"
#include "platform/win32/FileSystemWin32.h"
#include "support/PluginFolder.h"

namespace orv::test {
namespace {

std::unique_ptr<FileSystem> MakeWin32()
{
  return std::make_unique<orv::win32::FileSystemWin32>();
}
std::string JapaneseNamesMissing()
{
  if (test::win32::JapaneseNamesWork())
    return "";
  return "wine cannot create Japanese file names here: the glibc locale ja_JP.UTF-8 is not "
         "installed, so wine has no charset for Linux names";
}
const FileSystemBackend kWin32{"Win32", MakeWin32, JapaneseNamesMissing};
INSTANTIATE_TEST_SUITE_P(Win32, FileSystemContract, ::testing::Values(kWin32), BackendName);

// What only Windows can show.
class FileSystemWin32Test : public FileSystemContract {};
INSTANTIATE_TEST_SUITE_P(Win32, FileSystemWin32Test, ::testing::Values(kWin32), BackendName);

TEST_P(FileSystemWin32Test, ACurrentFolderLongerThanMaxPathIsStillNamed)
{
  // The launcher needs the whole path to say that it is too long.
  std::string folder = Path("") + "\\";
  std::vector<std::wstring> made;
  // The temporary folder's clean-up cannot reach so deep.
  struct RemoveDeepest {
    std::vector<std::wstring>& made;
    ~RemoveDeepest()
    {
      for (auto level = made.rbegin(); level != made.rend(); ++level)
        if (!RemoveDirectoryW(level->c_str()))
          ADD_FAILURE() << "cannot remove a level: " << GetLastError();
    }
  } removeDeepest{made};
  while (folder.size() < MAX_PATH + 20) {
    folder += std::string(40, 'l') + "\\";
    made.emplace_back(folder.begin(), folder.end());
    if (!CreateDirectoryW(made.back().c_str(), nullptr)) {
      made.pop_back();
      GTEST_SKIP() << "this system makes no folder path of " << folder.size() << " characters";
    }
  }
  char previous[MAX_PATH];
  ASSERT_NE(GetCurrentDirectoryA(sizeof previous, previous), 0u);
  if (!SetCurrentDirectoryW(std::wstring(folder.begin(), folder.end()).c_str()))
    GTEST_SKIP() << "this system keeps the current folder below MAX_PATH";
  std::string current;
  const bool answered = m_files.CurrentDirectory(current);
  SetCurrentDirectoryA(previous);
  ASSERT_TRUE(answered);
  EXPECT_EQ(current + "\\", folder);
}

}  // namespace
}  // namespace orv::test
