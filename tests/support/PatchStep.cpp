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
        for (; !m_done; PauseMilliseconds(5)) {
          // A file that cannot be looked at is not known to be gone.
          std::error_code error;
          if (!std::filesystem::exists(partial, error) && !error) {
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
