#include "support/CabinetMaker.h"

#include <gtest/gtest.h>

namespace orv::test {

bool MakeCabinet(const std::filesystem::path& cabinet, const std::vector<CabinetFile>& files,
                 bool compress)
{
  std::string error;
  if (patchkit::MakeCabinet(cabinet, files, compress, error))
    return true;
  ADD_FAILURE() << error;
  return false;
}

}  // namespace orv::test
