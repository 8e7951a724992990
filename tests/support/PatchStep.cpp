#include "support/PatchStep.h"

#include <gtest/gtest.h>

namespace orv::test {

void WriteStep(const std::filesystem::path& serverRoot, const PatchStep& step)
{
  std::string error;
  if (!patchkit::WriteStep(serverRoot, step, error))
    ADD_FAILURE() << error;
}

}  // namespace orv::test
