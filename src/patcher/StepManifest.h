#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

// What the publisher signs for one step: the versions it goes from and to,
// and the name, size and SHA-256 of every file the launcher downloads for it
// (dl_list.txt and each file that list names). The text signed is exactly
// the text the launcher receives; this is its one layout:
//
//   orv-step-manifest 1
//   from 41
//   to 42
//   file <size> <64 lower-case hex digits> <name>
//   ...
//
// every line ending in LF, the name being the rest of its line (Shift_JIS
// bytes as the step's lists name them). Nothing else may stand in it.
struct ManifestFile {
  std::string name;
  std::uint64_t size = 0;
  std::array<std::uint8_t, 32> sha256{};
};

struct StepManifest {
  std::int32_t from = 0;
  std::int32_t to = 0;
  std::vector<ManifestFile> files;

  // The entry of a name, compared as the launcher stores files (letters
  // without regard to case); null when the manifest does not name it.
  const ManifestFile* Find(std::string_view name) const;
};

// The largest manifest the launcher reads: far more than any step's list.
inline constexpr std::size_t kManifestLimit = 1u << 20;

// Reads a manifest; false, with what is wrong in `problem`, for anything but
// the layout above: a missing or repeated line, a number out of range, a
// digest that is not 64 hex digits, an empty or unsafe name, a name given
// twice, `to` other than `from` + 1.
bool ParseStepManifest(std::string_view text, StepManifest& manifest, std::string& problem);
// The text of a manifest, in the layout ParseStepManifest reads.
std::string FormatStepManifest(const StepManifest& manifest);

// 64 hex digits for a digest, and back; false for anything else.
std::string HexOf(const std::uint8_t* bytes, std::size_t size);
bool BytesOfHex(std::string_view hex, std::uint8_t* bytes, std::size_t size);

}  // namespace orv
