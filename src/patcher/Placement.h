#pragma once

#include <string>
#include <string_view>

namespace orv {

// Where the launcher takes a listed file from once the step's cabinets are
// extracted, as paths relative to the work folder, in the order it tries
// them: the file name alone directly in the work folder, then the whole
// entry under its folders. The first that exists is copied; so whatever
// else of the step lies at `direct` is placed instead of the entry.
struct PlacementSources {
  std::string direct;
  std::string nested;
};
PlacementSources PlacementSourcesOf(std::string_view entry);

// The name of the marker the launcher keeps in the game folder while it
// changes it.
inline constexpr const char* kUpdateMarkerName = "OLUpdate.pending";
// The work folder's name under the folder the launcher starts from, which is
// usually the game folder itself.
inline constexpr const char* kWorkFolderName = "_temp";

// Whether the launcher gives a path of the game folder (relative, Shift_JIS,
// `\` between folders) a meaning of its own, so that a file of the game
// there would be removed, taken for an interrupted update or overwritten:
// the marker and the work folder at the top, a copy temporary or a file of
// an archive rebuild anywhere. Windows finds names without regard to case,
// and so does this.
bool IsReservedGamePath(std::string_view relative);

}  // namespace orv
