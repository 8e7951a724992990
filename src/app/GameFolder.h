#pragma once

namespace orv {

class CGlobal;
class FileSystem;

// Whether the folder holds a game executable that can be opened for reading.
bool HoldsGame(FileSystem& files, const char* folder);

// Asks the user for the game folder. Every selection is copied into OrvDir at
// once and OK is enabled only for a folder holding a readable orv.exe. True
// when the user confirmed; after a cancel OrvDir holds the last selection.
bool ChooseGameFolder(CGlobal& global);

}  // namespace orv
