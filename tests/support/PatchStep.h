#pragma once

#include <filesystem>
#include <string>
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

}  // namespace orv::test
