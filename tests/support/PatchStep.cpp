#include "support/PatchStep.h"

#include <gtest/gtest.h>

#include "support/PluginFolder.h"

namespace orv::test {

void WriteStep(const std::filesystem::path& serverRoot, const PatchStep& step)
{
  std::string error;
  if (!patchkit::WriteStep(serverRoot, step, error))
    ADD_FAILURE() << error;
}

WhenDownloadEnds::WhenDownloadEnds(std::filesystem::path partialFile, std::function<void()> action)
    : m_watcher([this, partial = std::move(partialFile), action = std::move(action)] {
        std::uintmax_t lastSize = 0;
        int still = 0;
        for (; !m_done; PauseMilliseconds(5)) {
          // A file that cannot be looked at is not known to be gone.
          std::error_code error;
          const bool exists = std::filesystem::exists(partial, error);
          if (error)
            continue;
          const std::uintmax_t size = exists ? std::filesystem::file_size(partial, error) : 0;
          still = exists && !error && size == lastSize ? still + 1 : 0;
          lastSize = size;
          // A loopback server fills the file without a pause; a quarter of a
          // second without growth is a download that has stopped writing.
          if (!exists || still >= 50) {
            action();
            return;
          }
        }
      })
{
}

WhenDownloadEnds::~WhenDownloadEnds()
{
  m_done = true;
  m_watcher.join();
}

}  // namespace orv::test
