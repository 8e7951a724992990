#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orv {

class CGlobal;

// What a step leaves in the game folder while it changes it: a marker made,
// flushed, before the first change, and removed once the step's orv.ver is
// on the disk. A marker found later means a step was cut short or failed.
//
// Until orv.ver advances, the next run applies the whole step again, so
// every change is repaired by doing it over except three, which are settled
// here first: an archive rebuild swaps a pair of files, a patch appends to a
// .dat before its index takes the bytes, and a copy leaves its temporary
// file behind. The marker names the archives and folders the step changes,
// so that settling touches those and nothing else of the player's.

// What a step is about to change, relative to the game folder.
struct StepChanges {
  std::vector<std::string> archives;  // without extension: "data\main"
  std::vector<std::string> folders;   // that receive copies; "" is the game folder
};

// Makes the marker; false, logged, when it cannot be made or flushed (the
// step must not go on).
bool MarkGameFolderChanging(CGlobal& global, std::int32_t targetVersion,
                            const StepChanges& changes);
// Adds to the marker, flushed, that the archive (relative, without
// extension) is about to be rebuilt; false, logged, when that cannot be
// written. Outside a step (no marker) there is nothing to add to: true.
bool NoteRebuildStarting(CGlobal& global, const std::string& archive);
// Removes the marker once the step is on the disk.
void UnmarkGameFolderChanging(CGlobal& global);

// Before anything reads the game folder or changes it: removes the work
// folder an earlier run left; when a marker is there, settles every archive
// it names whose rebuild or patch did not finish, removes the temporary
// files of copies in the folders it names, and removes the marker once all
// of it is done. True when nothing is left unsettled; false, logged, when
// something could not be settled now (a file held by another program, a
// failing disk): then the game folder must be neither updated nor started.
// Without a marker it costs one probe.
bool RecoverGameFolder(CGlobal& global);

// RecoverGameFolder for a player's action: when something cannot be
// settled, the status line and a message box say why and what to do, and
// the answer is false.
bool SettleGameFolder(CGlobal& global);

}  // namespace orv
