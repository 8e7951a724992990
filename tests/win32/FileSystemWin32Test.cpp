#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Win32TestSupport.h"
#include "contracts/FileSystemContract.h"
#include "platform/ErrorCodes.h"
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

// Another program's handle on a file that shares nothing, as a scanner or a
// sync client takes it, held on a thread of its own until Release or, with a
// time, for that many milliseconds after it was opened.
class ForeignHold {
 public:
  explicit ForeignHold(const std::string& path, DWORD milliseconds = INFINITE)
      : m_release(CreateEventA(nullptr, TRUE, FALSE, nullptr))
  {
    m_file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    m_thread = std::thread([this, milliseconds] {
      WaitForSingleObject(m_release, milliseconds);
      CloseHandle(m_file);
    });
  }
  ~ForeignHold() { Release(); }
  bool Held() const { return m_file != INVALID_HANDLE_VALUE; }
  void Release()
  {
    SetEvent(m_release);
    if (m_thread.joinable())
      m_thread.join();
  }

 private:
  HANDLE m_release;
  HANDLE m_file;
  std::thread m_thread;
};

TEST_P(FileSystemWin32Test, AFileHeldForAMomentIsWaitedFor)
{
  // Without the retry each of these failed at once with a sharing violation.
  struct Case {
    const char* name;
    std::function<bool(FileSystem&, const std::string&)> run;  // on the held file
  };
  const std::string dest = Path("dest");
  const Case cases[] = {
      {"RemoveFile",
       [](FileSystem& f, const std::string& p) { return f.RemoveFile(p.c_str()) == 0; }},
      {"MoveFileTo",
       [](FileSystem& f, const std::string& p) {
         return f.MoveFileTo(p.c_str(), (p + ".moved").c_str()) == 0;
       }},
      {"MoveFileOver",
       [&](FileSystem& f, const std::string& p) {
         return f.MoveFileOver(p.c_str(), dest.c_str()) == 0 && Read("dest") == "held";
       }},
      {"CopyFileOver",
       [&](FileSystem& f, const std::string& p) {
         return f.CopyFileOver(p.c_str(), dest.c_str(), true) == 0 && Read("dest") == "held";
       }},
      {"OpenFile",
       [](FileSystem& f, const std::string& p) {
         std::FILE* file = f.OpenFile(p.c_str(), "r+b");
         if (file)
           std::fclose(file);
         return file != nullptr;
       }},
      {"SetFileLength",
       [](FileSystem& f, const std::string& p) { return f.SetFileLength(p.c_str(), 1) == 0; }},
      {"FlushFile",
       [](FileSystem& f, const std::string& p) { return f.FlushFile(p.c_str()) == 0; }},
  };
  int round = 0;
  for (const Case& c : cases) {
    const std::string name = "held" + std::to_string(++round);
    Write(name, "held");
    Write("dest", "old");
    ForeignHold hold(Path(name), 300);
    ASSERT_TRUE(hold.Held()) << c.name;
    EXPECT_TRUE(c.run(m_files, Path(name))) << c.name;
  }
}

TEST_P(FileSystemWin32Test, AFileHeldThroughoutFailsWithTheSharingViolation)
{
  Write("held", "held");
  Write("dest", "old");
  ForeignHold hold(Path("held"));
  ASSERT_TRUE(hold.Held());
  EXPECT_EQ(m_files.RemoveFile(Path("held").c_str()), err::kSharingViolation);
  EXPECT_EQ(m_files.MoveFileOver(Path("held").c_str(), Path("dest").c_str()),
            err::kSharingViolation);
  hold.Release();
  EXPECT_EQ(Read("held"), "held");
  EXPECT_EQ(Read("dest"), "old");
}

TEST_P(FileSystemWin32Test, FlushFolderFlushesAFolderAndReportsAMissingOne)
{
  ASSERT_EQ(m_files.MakeFolder(Path("sub").c_str()), 0u);
  EXPECT_EQ(m_files.FlushFolder(Path("sub").c_str()), 0u);
  // It used to answer 0 for anything, having done nothing.
  const std::uint32_t missing = m_files.FlushFolder(Path("missing").c_str());
  EXPECT_TRUE(missing == err::kFileNotFound || missing == err::kPathNotFound) << missing;
}

TEST_P(FileSystemWin32Test, ACopyWhoseDestinationFitsNeedsNoRoomForItsPartialFile)
{
  // The destination takes every character MAX_PATH allows; the partial
  // file's longer name beside it does not fit the ANSI calls.
  constexpr std::size_t kFolderLength = MAX_PATH - 15;
  std::string folder;
  while (Path(folder).size() + 1 < kFolderLength) {
    const std::size_t room = kFolderLength - Path(folder).size() - 1;
    folder += (folder.empty() ? "" : "\\") + std::string(std::min<std::size_t>(room, 60), 'f');
    ASSERT_EQ(m_files.MakeFolder(Path(folder).c_str()), 0u) << Path(folder).size();
  }
  const std::string to = folder + "\\" + std::string(MAX_PATH - 2 - Path(folder).size(), 'd');
  ASSERT_EQ(Path(to).size(), static_cast<std::size_t>(MAX_PATH - 1));
  Write("source", "new");
  EXPECT_EQ(m_files.CopyFileOver(Path("source").c_str(), Path(to).c_str(), false), 0u);
  EXPECT_EQ(Read(to), "new");
  Write("source", "newer");
  EXPECT_EQ(m_files.CopyFileOver(Path("source").c_str(), Path(to).c_str(), true), 0u);
  EXPECT_EQ(Read(to), "newer");
  EXPECT_EQ(Names(folder + "\\*"), (Strings{".", "..", to.substr(folder.size() + 1)}));
}

}  // namespace
}  // namespace orv::test
