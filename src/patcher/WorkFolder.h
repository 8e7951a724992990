#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace orv {

class CGlobal;

// The work folder "<startDir>\_temp", where a step's files are downloaded
// and extracted. Creating it succeeds also when it exists.
bool CreateWorkFolder(CGlobal& global);
bool DeleteWorkFolder(CGlobal& global);
// Deletes a folder with everything in it; true also when it does not exist.
// Fails only when the folder cannot be listed.
bool DeleteTree(CGlobal& global, const std::string& folder);
// Deletes everything in a folder but the entries named in keep; true also
// when the folder does not exist.
bool ClearFolder(CGlobal& global, const std::string& folder,
                 std::initializer_list<std::string_view> keep);
// Extracts every file of the cabinet "<folder>\<name>" into the work
// folder under its path inside the cabinet.
bool ExtractCabinet(CGlobal& global, const std::string& folder, const char* name);

}  // namespace orv
