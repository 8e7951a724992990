#pragma once

#include <cstdint>
#include <string>

namespace orv {

class CGlobal;

// The download store "<startDir>\_download": the server's files of a step
// in a folder of their own, "D%08d" after the version the step produces.
// Unlike the work folder, which each try of the apply phase makes afresh and
// deletes, the store outlives a failed step, Exit, a kill and a restart, so
// a file that arrived is never fetched again and one that broke off goes on
// where it stopped. A step's folder goes once its orv.ver is on the disk.
std::string DownloadStoreFolder(const CGlobal& global, std::int32_t version);
// Removes the folder of the step that produces version, and the store
// itself when nothing else is in it.
void RemoveDownloadStore(CGlobal& global, std::int32_t version);
// At start-up: removes every step folder of the store but the one of
// keepVersion (the next step), with one log line for each.
void PruneDownloadStore(CGlobal& global, std::int32_t keepVersion);

}  // namespace orv
