#pragma once

#include <string_view>

namespace orv {

// Whether a name that came from the server (a download-list entry, a name
// inside a cabinet, an add-list line, an archive path derived from a patch
// file) stays inside the folder it is joined to: not empty, not absolute,
// no drive or other colon, no ".." component. Both `\` and `/` count as
// separators, except a `\` that is the second byte of a Shift_JIS character.
bool IsContainedRelativePath(std::string_view name);

}  // namespace orv
