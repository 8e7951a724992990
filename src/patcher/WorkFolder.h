#pragma once

#include <string>

namespace orv {

class CGlobal;

// The work folder "<startDir>\_temp", where a step's files are downloaded
// and extracted. Creating it succeeds also when it exists.
bool CreateWorkFolder(CGlobal& global);
bool DeleteWorkFolder(CGlobal& global);
// Deletes a folder with everything in it; true also when it does not exist.
// Fails only when the folder cannot be listed.
bool DeleteTree(CGlobal& global, const std::string& folder);
// Extracts every file of the cabinet "<folder>\<name>" into the work
// folder under its path inside the cabinet.
bool ExtractCabinet(CGlobal& global, const std::string& folder, const char* name);

}  // namespace orv
