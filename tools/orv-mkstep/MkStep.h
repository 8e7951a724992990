#pragma once

// The publisher's step maker: what the parts of orv-mkstep share. A game
// folder is read as a list of files named as the launcher names them
// (Shift_JIS, `\` between folders); archives are compared entry by entry,
// one entry in memory at a time; what changed becomes one step folder laid
// out exactly as the launcher downloads it.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "patchkit/CabinetMaker.h"
#include "unpack/unpack.h"

namespace orv::mkstep {

namespace fs = std::filesystem;

// The packing library's entry points, as loaded by the launcher's code or
// linked directly by the tests.
struct Packing {
  PackFunction pack = nullptr;
  UnpackFunction unpack = nullptr;
  PackFreeFunction packFree = nullptr;
};

// ---- Names (NamesPosix.cpp / NamesWin32.cpp) ----

// The launcher's name of a path relative to a game folder: Shift_JIS with
// `\` between folders. False when the name has no Shift_JIS form or holds a
// control character (it could not stand on a line of add_list.txt).
bool LauncherName(const fs::path& relative, std::string& name);
// A launcher name as UTF-8, for reports.
std::string Utf8Name(const std::string& name);
// A native path as UTF-8, for reports.
std::string Utf8Path(const fs::path& path);
// Writes the file's or folder's data to the disk; false when it cannot.
bool FlushToDisk(const fs::path& path);
// A native absolute path as the launcher names it (Shift_JIS).
bool LauncherPath(const fs::path& path, std::string& launcherPath);
// The program's arguments as native paths (wide on Windows).
std::vector<fs::path> ProgramArguments(int argc, char** argv);
bool IsTerminal(std::FILE* stream);
// Keeps freed memory for the next entry instead of handing it back to the
// system and faulting it in again, entry after entry.
void KeepFreedMemory();
// fopen of a native path (wide on Windows).
std::FILE* OpenFile(const fs::path& path, const char* mode);

// ---- Game folders (GameFolder.cpp) ----

struct GameFile {
  std::string name;  // launcher name
  fs::path path;
  std::uint64_t size = 0;
};

struct GameFolder {
  // Sorted by launcher name.
  std::vector<GameFile> files;
  // Paths (UTF-8) whose names have no launcher form; nothing under them is
  // listed.
  std::vector<std::string> refused;
  const GameFile* Find(const std::string& name) const;
};

bool ScanGameFolder(const fs::path& root, GameFolder& folder, std::string& error);

// ---- Signing (SignStep.cpp) ----

// Writes manifest.txt and manifest.sig into a step folder: the versions the
// step goes from and to, the name, size and SHA-256 of dl_list.txt and of
// every file it names, and the publisher's signature over that text, made
// with the private key (PEM). False, with the reason, for a file the list
// names that the folder does not hold or a key that cannot sign.
bool SignStepFolder(const fs::path& folder, std::int32_t from, std::int32_t to,
                    const std::string& privateKeyPem, std::string& error);
// The version in a game folder's orv.ver, read as the launcher reads it.
bool ReadGameVersion(const fs::path& root, std::int32_t& version, std::string& error);
// Whether two files hold the same bytes, read a block at a time.
bool SameFileBytes(const fs::path& a, const fs::path& b, bool& same, std::string& error);
// ASCII letters folded: Windows finds files without regard to their case.
std::string FoldCase(const std::string& name);
// The last component of a launcher name.
std::string BaseNameOf(const std::string& name);

// ---- Archives (ArchiveCompare.cpp) ----

struct ArchiveStats {
  std::uint64_t entries = 0;  // in NEW
  std::uint64_t same = 0;
  std::uint64_t changed = 0;
  std::uint64_t added = 0;
  std::uint64_t changedBytes = 0;  // unpacked bytes of the changed and new entries
  std::uint64_t dflBytes = 0;      // 0: no .dfl was written
  // Entries of OLD that NEW does not have: a .dfl cannot remove them.
  std::vector<std::string> kept;
  // Without a .dfl to write: the entries that differ or are missing.
  std::vector<std::string> differing;
  // Later entries of NEW named like an earlier one: the launcher only ever
  // finds the first.
  std::vector<std::string> duplicates;
};

// Compares the archive pair newBase(.hed/.dat) with oldBase entry by entry by
// their unpacked bytes and writes every changed and new entry into the .dfl
// at dflPath, packed when that is smaller; nothing is written when no entry
// changed, and with an empty dflPath their names go to stats.differing. progress is told the
// entries done of the total.
bool CompareArchive(const fs::path& oldBase, const fs::path& newBase, const fs::path& dflPath,
                    const Packing& packing, ArchiveStats& stats, std::string& error,
                    const std::function<void(std::uint64_t, std::uint64_t)>& progress = {});

// Reads every entry of a pair in index order, one at a time: its name and
// unpacked bytes. False with the reason when the pair is malformed.
bool ForEachEntry(
    const fs::path& base, const Packing& packing,
    const std::function<bool(const std::string&, const std::vector<std::uint8_t>&)>& visit,
    std::string& error);

// ---- The step (Step.cpp) ----

// A file the step carries in a cabinet under its launcher name.
struct StepFile {
  std::string name;
  fs::path source;
  std::uint64_t size = 0;
};

struct CabinetPlan {
  std::string name;
  std::vector<StepFile> files;
  std::uint64_t bytes = 0;  // before compression
};

// A cabinet holds at most this many files (a 16-bit count).
inline constexpr std::size_t kMaxCabinetFiles = 0xFFFF;

// Splits the files, in order, into cabinets of at most `limit` bytes before
// compression (a larger file gets a cabinet of its own), named
// "step<version>-NNN.cab" so that their names sort in list order; a name
// taken (folded) by a file of the work folder gets a letter after the
// version. versionFile goes last into the last cabinet.
std::vector<CabinetPlan> SplitCabinets(const std::vector<StepFile>& files,
                                       const StepFile& versionFile, std::uint64_t limit,
                                       int version, const std::set<std::string>& takenNames,
                                       std::size_t maxFiles = kMaxCabinetFiles);

// What the formats cannot express, as the report names it.
struct Note {
  std::string kind;  // e.g. "file-kept", "entry-kept", "refused-name"
  std::string name;  // launcher name, or archive name for entries
  std::string entry;
  std::string why;
};

struct ArchiveLine {
  std::string name;  // launcher name of the pair, without extension
  std::string how;   // "patched", "unchanged", "as-files", "new-as-files"
  std::string dflName;
  ArchiveStats stats;
};

struct FileGroup {
  std::string name;  // top folder, "" for the game folder itself
  std::uint64_t added = 0, changed = 0, same = 0, kept = 0, notShipped = 0;
  std::uint64_t bytes = 0;  // of the files shipped
};

struct StepReport {
  int fromVersion = 0;
  int toVersion = 0;
  std::vector<ArchiveLine> archives;
  std::vector<FileGroup> groups;
  std::vector<Note> notes;
  std::vector<std::pair<std::string, std::uint64_t>> cabinets;  // name, size
  std::vector<std::string> addList;
  std::string checked;  // "", "passed", or "failed"
  std::string folder;   // the published step folder (UTF-8)
};

struct StepOptions {
  std::uint64_t cabinetLimit = 100ull << 20;
  // Told of each archive as it is compared, and of its entries.
  std::function<void(const std::string&, std::uint64_t, std::uint64_t)> progress;
};

// Compares OLD with NEW and writes the step's files into `folder` (which
// exists and is empty): dl_list.txt, add_list.txt and the cabinets.
bool MakeStep(const fs::path& oldGame, const fs::path& newGame, const fs::path& folder, int version,
              const Packing& packing, const StepOptions& options, StepReport& report,
              std::string& error);

// ---- The check (StepCheck.cpp) ----

// Applies the step folder to a copy of OLD with the launcher's own patcher
// (ReStruct as given) and compares the result with NEW. problems lists
// every difference the report does not explain; false only when the check
// itself could not run.
bool CheckStep(const fs::path& oldGame, const fs::path& newGame, const fs::path& stepFolder,
               int version, bool reStruct, const StepReport& report,
               std::vector<std::string>& problems, std::string& error);

// Loads the packing library beside the program, as the launcher does, for
// the life of the process.
bool LoadPacking(Packing& packing, std::string& error);

// Compares a patched game folder with NEW: archive pairs entry by entry,
// other files byte for byte, allowing what the report names.
bool CompareGames(const fs::path& result, const fs::path& newGame, const StepReport& report,
                  const Packing& packing, std::vector<std::string>& problems, std::string& error);

// ---- The report (Report.cpp) ----

std::string ReportText(const StepReport& report);
std::string ReportJson(const StepReport& report);

}  // namespace orv::mkstep
