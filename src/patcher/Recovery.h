#pragma once

#include <cstdint>

namespace orv {

class CGlobal;

// What a step leaves in the game folder while it changes it: a marker made,
// flushed, before the first change, and removed once the step's orv.ver is
// on the disk. A marker found at start-up means an update was cut short.
//
// Until orv.ver advances, the next start applies the whole step again, so
// every change but two is repaired by doing it over: an archive rebuild
// swaps a pair of files, and a copy leaves its temporary file behind. Those
// two are settled here before anything reads the game folder.

// Makes the marker; false, logged, when it cannot be made or flushed (the
// step must not go on).
bool MarkGameFolderChanging(CGlobal& global, std::int32_t targetVersion);
// Removes the marker once the step is on the disk.
void UnmarkGameFolderChanging(CGlobal& global);

// At start-up: removes a work folder left by an earlier run; when the marker
// is there, walks the game folder, settles
// every archive whose rebuild was cut short (one log line each), removes the
// temporary files of copies, and removes the marker once all of it is done.
// Without a marker it costs one failed open.
void RecoverGameFolder(CGlobal& global);

}  // namespace orv
