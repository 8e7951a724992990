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
        bool seen = false;
        for (; !m_done; PauseMilliseconds(5)) {
          std::error_code ignored;
          const bool exists = std::filesystem::exists(partial, ignored);
          if (seen && !exists) {
            action();
            return;
          }
          seen = seen || exists;
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
