// The test authorities the HTTPS tests put into the wine prefix's root store.
#include <gtest/gtest.h>

#include <windows.h>

#include "Win32TestSupport.h"
#include "support/LoopbackServer.h"
#include "support/PluginFolder.h"
#include "support/RootStoreWin32.h"

namespace orv::test::win32 {
namespace {

namespace rootstore = ::orv::test::rootstore;

// A process that has ended: the stand-in game, run to its end.
rootstore::Owner EndedProcess()
{
  TempFolder folder;
  const std::string program = LauncherPath(ExecutableFolder() / ProgramFileName("stub_game"));
  std::string commandLine = "\"" + program + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.path().c_str(), &startup, &process)) {
    ADD_FAILURE() << "cannot start the stand-in game: error " << GetLastError();
    return {};
  }
  WaitForSingleObject(process.hProcess, 10000);
  FILETIME created, exited, kernel, user;
  GetProcessTimes(process.hProcess, &created, &exited, &kernel, &user);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return {process.dwProcessId,
          (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime};
}

// A test process killed at a time-out left its authority in the prefix's
// root store for good, and the store grew with every such run.
TEST(RootStoreWin32Test, AnAuthorityOutlivingItsProcessGoesWithTheNextCleanUp)
{
  const rootstore::Session session;
  const std::vector<BYTE> authority = rootstore::ReadPem(LoopbackServer::AuthorityFile());
  rootstore::Add(authority, EndedProcess());
  rootstore::RemoveOrphans();
  EXPECT_FALSE(rootstore::Holds(authority));

  // One of a running process stays; one of an earlier process that had this
  // process's id does not.
  rootstore::Add(authority, rootstore::ThisProcess());
  rootstore::RemoveOrphans();
  EXPECT_TRUE(rootstore::Holds(authority));
  rootstore::Owner earlier = rootstore::ThisProcess();
  earlier.started -= 1;
  rootstore::Add(authority, earlier);
  rootstore::RemoveOrphans();
  EXPECT_FALSE(rootstore::Holds(authority));
  rootstore::Remove(authority);
}

}  // namespace
}  // namespace orv::test::win32
