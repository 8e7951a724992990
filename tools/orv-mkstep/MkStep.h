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

// Which encoding a string holds. Names reach the launcher as Shift_JIS and
// reach the publisher as UTF-8; a name is converted once, where it crosses,
// and a conversion that does not come back the same is refused.
using Sjis = std::string;  // Shift_JIS, `\` between folders: as the launcher names it
using Utf8 = std::string;  // UTF-8: names shown to the publisher, reports, messages

// ---- Names (Names.cpp, NamesPosix.cpp / NamesWin32.cpp) ----

// The launcher's name of a path relative to a game folder. False when the
// name has no Shift_JIS form that converts back to exactly the same name,
// or holds a control character (it could not stand on a line of
// add_list.txt).
bool LauncherName(const fs::path& relative, Sjis& name);
// A launcher name as UTF-8, for reports; bytes that are no Shift_JIS
// character are shown as \xNN.
Utf8 Utf8Name(const Sjis& name);
// A native path as UTF-8, for messages.
Utf8 Utf8Path(const fs::path& path);
// A path relative to a game folder as the publisher sees it, `\` between
// folders.
Utf8 ShownName(const fs::path& relative);
// Why Windows cannot hold a file or folder of this name (one component,
// UTF-8), or "" when it can.
std::string WindowsRefusal(const Utf8& component);
// The name as Windows compares names: letters of every script the game's
// names can hold folded to one case.
Utf8 FoldName(const Utf8& name);
// Writes the file's or folder's data to the disk; false when it cannot.
bool FlushToDisk(const fs::path& path);
// A native absolute path as the launcher names it (Shift_JIS).
bool LauncherPath(const fs::path& path, Sjis& launcherPath);
// The program's arguments as native paths (wide on Windows).
std::vector<fs::path> ProgramArguments(int argc, char** argv);
bool IsTerminal(std::FILE* stream);
// Keeps freed memory for the next entry instead of handing it back to the
// system and faulting it in again, entry after entry.
void KeepFreedMemory();
// fopen of a native path (wide on Windows).
std::FILE* OpenFile(const fs::path& path, const char* mode);

// A lock held on a file for the life of the object (or of the process: the
// system lets it go when a run is killed).
class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  // False with busy set when another process holds it; false with the
  // reason otherwise.
  bool TryLock(const fs::path& file, bool& busy, std::string& error);

 private:
  std::intptr_t m_handle = -1;
};

// ---- Game folders (GameFolder.cpp) ----

struct GameFile {
  Sjis name;
  Utf8 shown;
  fs::path path;
  std::uint64_t size = 0;
};

struct GameFolderEntry {
  Sjis name;
  Utf8 shown;
  bool holdsFiles = false;  // a regular file lies somewhere under it
};

// Something of a game folder that no step can carry, with the path named.
struct Refusal {
  Utf8 name;
  std::string why;
};

struct GameFolder {
  // Sorted by launcher name.
  std::vector<GameFile> files;
  std::vector<GameFolderEntry> folders;
  // Names Windows cannot hold or the launcher cannot spell or gives a
  // meaning of its own, links and devices, names equal after case folding.
  // Nothing under a refused folder is listed.
  std::vector<Refusal> refused;
  const GameFile* Find(const Sjis& name) const;
  const GameFolderEntry* FindFolder(const Sjis& name) const;
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
  std::vector<Sjis> kept;
  // Without a .dfl to write: the entries that differ or are missing.
  std::vector<Sjis> differing;
  // Later entries of NEW named like an earlier one: the launcher only ever
  // finds the first.
  std::vector<Sjis> duplicates;
};

// Whether the pair's index holds a record at all: the launcher patches only
// a pair that does, and an empty pair is compared as two plain files.
bool HoldsRecords(const fs::path& base);

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
  Sjis name;
  fs::path source;
  std::uint64_t size = 0;
};

struct CabinetPlan {
  std::string name;  // ASCII
  std::vector<StepFile> files;
  std::uint64_t bytes = 0;  // before compression
};

// A cabinet holds at most this many files (a 16-bit count).
inline constexpr std::size_t kMaxCabinetFiles = 0xFFFF;
// The most bytes one cabinet may hold uncompressed for the extractor to take
// it (a cabinet folder's limit).
inline constexpr std::uint64_t kExtractorLimit = 0x7FFF8000u;

// Splits the files, in order, into cabinets of at most `limit` bytes before
// compression (a larger file gets a cabinet of its own), named
// "step<version>-NNN.cab" so that their names sort in list order; a name
// taken (folded) by a file of the work folder gets a letter after the
// version. versionFile goes last into the last cabinet, or into one of its
// own when the last would then hold more than extractorLimit.
std::vector<CabinetPlan> SplitCabinets(const std::vector<StepFile>& files,
                                       const StepFile& versionFile, std::uint64_t limit,
                                       int version, const std::set<std::string>& takenNames,
                                       std::size_t maxFiles = kMaxCabinetFiles,
                                       std::uint64_t extractorLimit = kExtractorLimit);

// What the report says about the step besides its counts.
enum class NoteKind {
  // Said for information: the step still makes NEW.
  ArchiveAsFiles,  // a pair shipped as two files instead of a .dfl
  // Gaps: the step leaves players with something NEW does not hold, or
  // without something it does. Published only with --allow-incomplete.
  FileKept,        // a file of OLD that NEW does not have: a step cannot delete
  FolderKept,      // likewise a folder
  EntryKept,       // an archive entry of OLD that NEW does not have
  EntryDuplicate,  // a later entry of NEW named like an earlier one
  EmptyFolder,     // a folder of NEW with no file under it: a step creates none
  // Errors: NEW cannot be published at all.
  RefusedName,  // a name Windows, Shift_JIS or the launcher cannot take
  Misplaced,    // the launcher would place the file from elsewhere, or fail
  TooLarge,     // larger than a cabinet the extractor accepts
};

enum class NoteWeight { Info, Gap, Error };
NoteWeight WeightOf(NoteKind kind);
// The kind as the report names it ("file-kept", ...).
const char* KindName(NoteKind kind);

struct Note {
  NoteKind kind;
  Utf8 name;   // a path of the game folder, or the archive of an entry
  Sjis entry;  // an archive entry's name, as the archive holds it
  std::string why;
};

enum class ArchiveHow { Patched, Unchanged, AsFiles, NewAsFiles };

struct ArchiveLine {
  Sjis name;  // launcher name of the pair, without extension
  ArchiveHow how = ArchiveHow::Unchanged;
  std::string dflName;  // Shift_JIS like the archive's name
  ArchiveStats stats;
};

struct FileGroup {
  Sjis name;  // top folder, "" for the game folder itself
  std::uint64_t added = 0, changed = 0, same = 0, kept = 0;
  std::uint64_t bytes = 0;  // of the files shipped
};

struct StepReport {
  int fromVersion = 0;
  int toVersion = 0;
  std::vector<ArchiveLine> archives;
  std::vector<FileGroup> groups;
  std::vector<Note> notes;
  std::vector<std::pair<std::string, std::uint64_t>> cabinets;  // name, size
  std::vector<Sjis> addList;
  std::string checked;  // "", "passed", or "failed"
  Utf8 folder;          // the published step folder
  bool Has(NoteWeight weight) const;
};

struct StepOptions {
  std::uint64_t cabinetLimit = 100ull << 20;
  // What one cabinet may hold; lowered by tests, which cannot write 2 GiB.
  std::uint64_t extractorLimit = kExtractorLimit;
  // Told of each archive as it is compared, and of its entries.
  std::function<void(const std::string&, std::uint64_t, std::uint64_t)> progress;
};

// Compares OLD with NEW and writes the step's files into `folder` (which
// exists and is empty): dl_list.txt, add_list.txt and the cabinets. Stops
// before any cabinet is written when NEW holds what no step can carry: the
// report's notes then hold errors, and the result is still true.
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

// Compares a patched game folder with NEW by walking both folders under
// their native names: every folder, archive pairs entry by entry, other
// files byte for byte, and nothing more in the result; only the gaps the
// report lists are allowed.
bool CompareGames(const fs::path& result, const fs::path& newGame, const StepReport& report,
                  const Packing& packing, std::vector<std::string>& problems, std::string& error);

// ---- The report (Report.cpp) ----

Utf8 ReportText(const StepReport& report);
Utf8 ReportJson(const StepReport& report);

// ---- The run (Run.cpp) ----

// How a run ends, as its exit status.
enum ExitStatus {
  kExitPublished = 0,    // the step is published (and checked when asked)
  kExitFailed = 1,       // something could not be read or written; nothing published
  kExitUsage = 2,        // the arguments or the versions do not fit
  kExitRefused = 3,      // NEW holds what no step can carry; nothing published
  kExitIncomplete = 4,   // the step would leave gaps; nothing published
  kExitCheckFailed = 5,  // --check: the launcher did not make NEW from OLD
  kExitBusy = 6,         // another run is publishing to the same patch root
};

struct Arguments {
  fs::path oldGame, newGame, patchRoot;
  bool check = false;
  bool json = false;
  bool allowIncomplete = false;
  bool help = false;
  StepOptions options;
  fs::path key;
  // --sign-existing: the step of this version in patchRoot is signed.
  std::int32_t signExisting = 0;
};

// What a run prints: the report for standard output, and its messages,
// one line each, for standard error.
struct RunOutput {
  Utf8 report;
  std::vector<Utf8> messages;
};

bool ParseArguments(const std::vector<fs::path>& arguments, Arguments& parsed, std::string& why);
int RunMkStep(const Arguments& arguments, RunOutput& output);
// The usage text with the exit statuses.
std::string UsageText();

}  // namespace orv::mkstep
