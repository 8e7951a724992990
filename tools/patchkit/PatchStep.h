#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "patchkit/CabinetMaker.h"

namespace orv::patchkit {

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

// The step's folder under the server root: "D%08d" of its version.
std::filesystem::path StepFolder(const std::filesystem::path& serverRoot, int version);

// Writes the step's folder under the server root: dl_list.txt naming
// add_list.txt first and then the cabinets, the cabinets, add_list.txt.
// False, with the reason in `error`, when a part cannot be made; the folder
// may then be incomplete.
bool WriteStep(const std::filesystem::path& serverRoot, const PatchStep& step,
               std::string& error);

}  // namespace orv::patchkit
