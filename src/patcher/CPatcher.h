#pragma once

#include <atomic>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "net/ConnectionContext.h"
#include "net/Download.h"
#include "patcher/Recovery.h"
#include "patcher/StepManifest.h"
#include "patcher/VersionCheck.h"

namespace orv {

class CGlobal;

// One line of a step's dl_list.txt.
struct DownloadEntry {
  char name[256] = {};
  std::int32_t value = 0;  // the number after the comma; kept, not used
};

// Brings the game folder from the local version to the server's, one
// version step at a time, on its own thread: download the step's list and
// files, extract the cabinets, patch the archives, place the files.
class CPatcher {
 public:
  CPatcher(CGlobal& global, VersionState& versions);
  virtual ~CPatcher();

  CPatcher(const CPatcher&) = delete;
  CPatcher& operator=(const CPatcher&) = delete;

  // Opens the patcher's session with the time-out in milliseconds.
  void OpenSession(std::uint32_t timeoutMilliseconds);
  void CloseSession();

  // On the window thread: sets workerRun and starts the patch thread; a
  // message box when the thread cannot be started.
  void Start();
  // Whether a patch thread has been started and not yet been waited for.
  bool HasThread() const { return connection.workerThread.Started(); }
  // From Start until the patch thread's last step (the timer started again)
  // is done.
  bool Running() const { return connection.workerThread.Running(); }

  // The step loop; its outcome is the launcher mode. True when the game
  // reached the server version.
  bool RunStepUpdate();
  // The apply phase of one downloaded step.
  bool ApplyStep();

  // The download phase (patcher/DownloadList.cpp).
  // The folder the step's server files are in (see downloadFolder).
  std::string StepFiles() const;
  bool FetchDownloadList(std::int32_t version);
  // The signed manifest of that step, into manifest; false, logged, unless
  // it carries the publisher's signature and names exactly that step.
  bool FetchManifest(std::int32_t version);
  bool ReadDownloadList();
  bool DownloadStepFiles(std::int32_t version);

  // The file side of the apply phase (patcher/WorkFolder.cpp).
  // Copies the list's first entry, which is no cabinet, from the download
  // store into the work folder, where the apply phase reads it.
  bool StageListedFiles();
  bool ExtractCabinets();
  // Places the files of the add list, read by ReadAddList before.
  bool PlaceFiles();
  bool ReadAddList();
  // What the step in the work folder is about to change in the game folder.
  orv::StepChanges StepChanges() const;
  bool CreateFolders();
  bool ApplyPatchFiles();
  // Flush the files or folders and forget them; false, logged, on an error.
  bool FlushPlaced(std::vector<std::string>& placed);
  bool FlushFolders(std::set<std::string>& folders);

  std::vector<DownloadEntry> downloadList;
  std::vector<std::string> addList;
  ConnectionContext connection;
  // Where the current step's server files are: its folder of the download
  // store while the step loop runs; empty for the work folder, where a
  // caller that brings its own files puts them.
  std::string downloadFolder;
  // The waits between the tries of a download.
  RetryWaits retryWaits;
  // The current step's signed manifest, when the launcher was built with
  // the publisher's key.
  StepManifest manifest;
  // Told at the end of every patch run whether it reached the server version.
  std::function<void(bool reachedServerVersion)> onRunEnded;

 protected:
  friend void PatchThreadProc(CPatcher* patcher);
  friend void WaitForWorker(CPatcher& patcher);

  CGlobal& m_global;
  VersionState& m_versions;
};

// The patch thread: buttons and timer off, the step loop, buttons and timer
// on again.
void PatchThreadProc(CPatcher* patcher);

// On the window thread: stops the patcher's thread (workerRun cleared, the
// session's network waits ended for good) and waits for it while the window
// goes on handling its events, then forgets it. Returns at once when no
// thread was started.
void WaitForWorker(CPatcher& patcher);

// The parallel patcher: a pool of connections, a lock and a list, set up and
// torn down with the main window; nothing gives it work.
class CPatcherT : public CPatcher {
 public:
  CPatcherT(CGlobal& global, VersionState& versions);
  ~CPatcherT() override;

  // Sizes the pool and opens its own session and every pooled one.
  void SetUp(std::size_t connectionCount, std::uint32_t timeoutMilliseconds);
  void TearDown();

  std::vector<std::unique_ptr<ConnectionContext>> pool;
  std::mutex poolLock;
  std::vector<std::string> list;
};

}  // namespace orv
