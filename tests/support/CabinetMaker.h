#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "patchkit/CabinetMaker.h"

namespace orv::test {

// One file of a test cabinet. The name is Shift_JIS, as the launcher spells
// it, with folders separated by `\` or `/`.
using CabinetFile = patchkit::CabinetFile;

// Writes a real cabinet holding the files in this order, compressed with
// MSZIP when compress is true (patchkit::MakeCabinet: libgcab on Linux,
// cabinet.dll's FCI on Windows). Each name is stored exactly as given, with
// `\` separators; names a packing tool would tidy ("..\evil.txt") are stored
// as given too, so tests can hand the launcher hostile cabinets. On failure
// it records a test failure and answers false (ASSERT_TRUE it in the caller).
bool MakeCabinet(const std::filesystem::path& cabinet, const std::vector<CabinetFile>& files,
                 bool compress = true);

}  // namespace orv::test
