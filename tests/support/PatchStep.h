#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/CabinetMaker.h"

namespace orv::test {

// One version step as the patch server offers it.
struct PatchStep {
  int version = 0;  // the version the step produces
  // Cabinets in list order, each with its files.
  std::vector<std::pair<std::string, std::vector<CabinetFile>>> cabinets;
  // Paths the step places into the game folder (orv.ver is added by the
  // launcher itself).
  std::vector<std::string> addList;
  // Put into the last cabinet: the new version file.
  bool withVersionFile = true;
};

// Writes the step's folder "D%08d" under the server root: dl_list.txt naming
// add_list.txt first and then the cabinets, the cabinets, add_list.txt.
void WriteStep(const std::filesystem::path& serverRoot, const PatchStep& step);

}  // namespace orv::test
