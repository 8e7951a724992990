#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace orv {

class CGlobal;

// The work folder "<startDir>\_temp", where a step's files are extracted.
// The launcher marks the folder as its own when it makes it, and never
// empties or deletes a "_temp" it did not make (the player's own folder of
// that name beside the launcher). Creating it leaves it empty; false, with a
// message, when it cannot be made, is not the launcher's, or cannot be
// emptied.
bool CreateWorkFolder(CGlobal& global);
// False, logged, when something of it could not be deleted.
bool DeleteWorkFolder(CGlobal& global);
// At start-up: deletes a work folder an earlier run left, when it is the
// launcher's.
void RemoveStaleWorkFolder(CGlobal& global);
// Deletes a folder with everything in it; true also when it does not exist,
// false when anything of it remains. A link inside is removed, never
// followed.
bool DeleteTree(CGlobal& global, const std::string& folder);
// Deletes everything in a folder but the entries named in keep; true also
// when the folder does not exist, false when anything else remains.
bool ClearFolder(CGlobal& global, const std::string& folder,
                 std::initializer_list<std::string_view> keep);
// Extracts every file of the cabinet "<folder>\<name>" into the work
// folder under its path inside the cabinet.
bool ExtractCabinet(CGlobal& global, const std::string& folder, const char* name);

}  // namespace orv
