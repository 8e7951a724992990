#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "patchkit/PatchStep.h"
#include "support/CabinetMaker.h"

namespace orv::test {

// One version step as the patch server offers it: the version it produces,
// its cabinets in list order with their files, the paths it places into the
// game folder, and whether the last cabinet carries the new orv.ver.
using PatchStep = patchkit::PatchStep;

// Writes the step's folder "D%08d" under the server root: dl_list.txt naming
// add_list.txt first and then the cabinets, the cabinets, add_list.txt.
void WriteStep(const std::filesystem::path& serverRoot, const PatchStep& step);

// Wine's WinINet, closing a request whose body is unfinished, goes on reading
// the body for as long as more of it has arrived, and a loopback server sends
// faster than wine reads: a stopped download of a large generated cabinet
// would hold the patch thread for minutes. Made while a download is under way
// (its progress shows, so the launcher's partial file of it exists), this
// runs the action once the launcher has stopped writing that file (the
// download stopped, failed or completed, and the file keeps its size or is
// gone): a test cuts its server's connections there.
class WhenDownloadEnds {
 public:
  WhenDownloadEnds(std::filesystem::path partialFile, std::function<void()> action);
  ~WhenDownloadEnds();
  WhenDownloadEnds(const WhenDownloadEnds&) = delete;
  WhenDownloadEnds& operator=(const WhenDownloadEnds&) = delete;

 private:
  std::atomic<bool> m_done{false};
  std::thread m_watcher;
};

}  // namespace orv::test
