#pragma once

#include <atomic>
#include <cstdint>

namespace orv {

class CGlobal;
struct ConnectionContext;

// The version numbers the main window keeps and the patcher reads and
// writes: the server's, the local one (the options panel may lower it), the
// local one as last read from orv.ver, and the step limit of a patch run
// (0: none). Plain numbers shared by the window thread and one worker.
struct VersionState {
  std::atomic<std::int32_t> serverVersion{0};
  std::atomic<std::int32_t> localVersion{0};
  std::atomic<std::int32_t> fileVersion{0};
  std::atomic<std::int32_t> updateStep{0};
  // Timer ticks since the last periodic check of the server version.
  std::int32_t autoUpdateTicks = 0;
};

// Reads the first integer of "<OrvDir>\orv.ver" into localVersion and
// fileVersion. False, with the values kept, when the file cannot be opened
// or does not begin with a number.
bool ReadLocalVersion(CGlobal& global, VersionState& versions);

// Downloads the information text from the information site and shows it.
bool FetchInformation(CGlobal& global, ConnectionContext& connection);

// Downloads the server version, compares it with the local one and sets the
// mode: Login when they are equal, Update otherwise.
bool CheckServerVersion(CGlobal& global, VersionState& versions, ConnectionContext& connection);

// Once per timer tick, on the window thread: whether the server version is
// due to be checked again, on the first tick after the connect sequence and
// every 600 ticks after.
bool AutoUpdateDue(CGlobal& global, VersionState& versions);

// The periodic check: CheckServerVersion between its two lines. It waits on
// the server, so the window runs it on a worker.
void PeriodicVersionCheck(CGlobal& global, VersionState& versions, ConnectionContext& connection);

// Reads a version number the way "%d" reads it, from bytes that need not end
// in a zero. False when they do not begin (after white space) with one.
bool ParseVersion(const char* text, std::size_t size, std::int32_t& version);

}  // namespace orv
