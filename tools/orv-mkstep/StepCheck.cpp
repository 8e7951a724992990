// The check: the step applied to a copy of OLD by the launcher's own patcher,
// exactly as after a download, and the result compared with NEW.
#include <map>
#include <set>
#include <string>

#include "MkStep.h"
#include "app/CGlobal.h"
#include "app/Deployment.h"
#include "app/LauncherApp.h"
#include "patcher/CPatcher.h"
#include "patcher/WorkFolder.h"
#include "patchkit/Files.h"
#include "platform/QuietView.h"
#ifdef _WIN32
#include "platform/win32/Win32Platform.h"
#else
#include "platform/posix/PosixPlatform.h"
#endif

namespace orv::mkstep {

namespace {

#ifdef _WIN32
using Backends = win32::Win32Platform;
#else
using Backends = posix::PosixPlatform;
#endif

// Keeps what the patcher says, to show when the step does not apply.
class CheckView : public QuietView {
 public:
  void ShowMessageBox(const char* caption, const char* text, MessageStyle) override
  {
    lines.push_back(std::string(caption) + ": " + text);
  }
  void AddProcessLogLine(std::string line) override { lines.push_back(std::move(line)); }
  std::vector<std::string> lines;
};

// Copies a folder's tree file by file (the library's recursive copy refuses
// an existing target folder on some platforms).
bool CopyInto(const fs::path& from, const fs::path& to, std::string& error)
{
  std::error_code failure;
  fs::create_directories(to, failure);
  for (fs::recursive_directory_iterator walk(from, failure), end; !failure && walk != end;
       walk.increment(failure)) {
    const fs::path target = to / walk->path().lexically_relative(from);
    if (walk->is_directory(failure))
      fs::create_directories(target, failure);
    else if (!failure)
      fs::copy_file(walk->path(), target, fs::copy_options::overwrite_existing, failure);
  }
  if (failure) {
    error = "cannot copy " + Utf8Path(from) + " to " + Utf8Path(to) + ": " + failure.message();
    return false;
  }
  return true;
}

// The report's gaps: what the result may differ by.
struct Allowed {
  std::set<Utf8> paths;                           // kept files and folders, empty folders
  std::map<Utf8, std::set<Sjis>> entries;         // archive -> kept entries
  std::map<Utf8, std::set<Sjis>> missingEntries;  // archive -> duplicates not carried
};

Allowed AllowedBy(const StepReport& report)
{
  Allowed allowed;
  for (const Note& note : report.notes) {
    switch (note.kind) {
      case NoteKind::EntryKept:
        allowed.entries[note.name].insert(note.entry);
        break;
      case NoteKind::EntryDuplicate:
        allowed.missingEntries[note.name].insert(note.entry);
        break;
      case NoteKind::FileKept:
      case NoteKind::FolderKept:
      case NoteKind::EmptyFolder:
        allowed.paths.insert(note.name);
        break;
      default:
        break;
    }
  }
  return allowed;
}

// A folder as it lies on the disk, by its native names: the check does not
// go through the maker's reading of names.
struct Item {
  fs::path path;
  fs::file_type type = fs::file_type::none;
};

bool WalkNative(const fs::path& root, std::map<Utf8, Item>& items, std::string& error)
{
  std::error_code failure;
  for (fs::recursive_directory_iterator walk(root, failure), end; !failure && walk != end;
       walk.increment(failure)) {
    const fs::file_status status = walk->symlink_status(failure);
    if (!failure)
      items[ShownName(walk->path().lexically_relative(root))] = {walk->path(), status.type()};
  }
  if (failure) {
    error = "cannot list " + Utf8Path(root) + ": " + failure.message();
    return false;
  }
  return true;
}

bool EndsWith(const Utf8& text, const char* end)
{
  const std::size_t size = std::char_traits<char>::length(end);
  return text.size() >= size && text.compare(text.size() - size, size, end) == 0;
}

// The other half of a pair, when `shown` is one half and both are files.
bool IsPairHalf(const std::map<Utf8, Item>& items, const Utf8& shown, Utf8& base)
{
  const bool hed = EndsWith(shown, ".hed"), dat = EndsWith(shown, ".dat");
  if (!hed && !dat)
    return false;
  base = shown.substr(0, shown.size() - 4);
  const auto other = items.find(base + (hed ? ".dat" : ".hed"));
  return other != items.end() && other->second.type == fs::file_type::regular;
}

fs::path Without(fs::path path)
{
  return path.replace_extension();
}

bool CompareEntries(const fs::path& got, const fs::path& wanted, const Utf8& base,
                    const Allowed& allowed, const Packing& packing,
                    std::vector<std::string>& problems, std::string& error)
{
  ArchiveStats stats;
  if (!CompareArchive(got, wanted, {}, packing, stats, error))
    return false;
  auto allows = [&](const std::map<Utf8, std::set<Sjis>>& notes, const Sjis& entry) {
    const auto found = notes.find(base);
    return found != notes.end() && found->second.count(entry) > 0;
  };
  for (const Sjis& entry : stats.differing)
    problems.push_back("entry " + Utf8Name(entry) + " of " + base + " differs or is missing");
  for (const Sjis& entry : stats.duplicates)
    if (!allows(allowed.missingEntries, entry))
      problems.push_back("the later entry " + Utf8Name(entry) + " of " + base + " is missing");
  for (const Sjis& entry : stats.kept)
    if (!allows(allowed.entries, entry))
      problems.push_back("entry " + Utf8Name(entry) + " of " + base + " should not be there");
  return true;
}

}  // namespace

bool CompareGames(const fs::path& result, const fs::path& newGame, const StepReport& report,
                  const Packing& packing, std::vector<std::string>& problems, std::string& error)
{
  std::map<Utf8, Item> got, wanted;
  if (!WalkNative(result, got, error) || !WalkNative(newGame, wanted, error))
    return false;
  const Allowed allowed = AllowedBy(report);
  for (const auto& [shown, item] : wanted) {
    const auto mine = got.find(shown);
    if (item.type != fs::file_type::regular && item.type != fs::file_type::directory) {
      problems.push_back(shown + " is neither a file nor a folder in NEW");
      continue;
    }
    if (mine == got.end()) {
      if (!allowed.paths.count(shown))
        problems.push_back(shown + " is missing");
      continue;
    }
    if (mine->second.type != item.type) {
      problems.push_back(shown + " is not a " +
                         (item.type == fs::file_type::directory ? "folder" : "file"));
      continue;
    }
    if (item.type == fs::file_type::directory)
      continue;
    Utf8 base;
    if (IsPairHalf(wanted, shown, base) && IsPairHalf(got, shown, base) &&
        HoldsRecords(Without(item.path)) && HoldsRecords(Without(mine->second.path))) {
      if (EndsWith(shown, ".hed") &&  // the .hed stands for the pair
          !CompareEntries(Without(mine->second.path), Without(item.path), base, allowed, packing,
                          problems, error))
        return false;
      continue;
    }
    bool same = false;
    if (!SameFileBytes(mine->second.path, item.path, same, error))
      return false;
    if (!same)
      problems.push_back(shown + " differs");
  }
  for (const auto& [shown, item] : got)
    if (!wanted.count(shown) && !allowed.paths.count(shown))
      problems.push_back(shown + " should not be there");
  return true;
}

bool CheckStep(const fs::path& oldGame, const fs::path& newGame, const fs::path& stepFolder,
               int version, bool reStruct, const StepReport& report,
               std::vector<std::string>& problems, std::string& error)
{
  patchkit::ScratchFolder scratch;
  if (scratch.path().empty()) {
    error = scratch.error();
    return false;
  }
  const fs::path start = scratch.path() / "start";
  const fs::path game = scratch.path() / "game";
  // The step's files lie in the work folder as the download leaves them.
  if (!CopyInto(oldGame, game, error) || !CopyInto(stepFolder, start / "_temp", error))
    return false;
  std::string startPath, gamePath;
  if (!LauncherPath(start, startPath) || !LauncherPath(game, gamePath) ||
      startPath.size() >= sizeof(CGlobal::startDir) || gamePath.size() >= sizeof(CGlobal::OrvDir)) {
    error = "the temporary folder " + Utf8Path(scratch.path()) + " has no short Shift_JIS path";
    return false;
  }

  Backends backends;
  CheckView view;
  const Platform platform = backends.With(view);
  LauncherApp app(view, platform.locale, platform.files);
  CGlobal global(platform, app, Deployment{});
  // The launcher's own lines say why a step does not apply.
  global.SetMainWindow(&view);
  CopyText(global.startDir, startPath);
  CopyText(global.OrvDir, gamePath);
  global.ReStruct = reStruct ? 1 : 0;
  if (!global.LoadPackLibrary("unpack.dll")) {
    error = "the packing library cannot be loaded";
    for (const std::string& line : view.lines)
      error += "\n  " + Utf8Name(line);
    return false;
  }
  global.workerRun = 1;
  VersionState versions;
  versions.localVersion = version - 1;
  versions.serverVersion = version;
  CPatcher patcher(global, versions);
  const bool applied = patcher.ReadDownloadList() && patcher.ApplyStep();
  if (!applied || versions.localVersion != version) {
    std::string said;
    for (std::string line : view.lines) {
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
      said += "\n  launcher: " + Utf8Name(line);
    }
    problems.push_back("the launcher did not apply the step:" + said);
    return true;
  }
  const Packing packing{global.packEntry, global.unpackEntry, global.packFreeEntry};
  return CompareGames(game, newGame, report, packing, problems, error);
}

}  // namespace orv::mkstep

namespace orv::mkstep {

bool LoadPacking(Packing& packing, std::string& error)
{
  static Backends backends;
  LibraryHandle library = backends.libraries.Load("unpack.dll");
  if (library) {
    packing.pack = reinterpret_cast<PackFunction>(backends.libraries.Symbol(library, "Pack"));
    packing.unpack = reinterpret_cast<UnpackFunction>(backends.libraries.Symbol(library, "Unpack"));
    packing.packFree =
        reinterpret_cast<PackFreeFunction>(backends.libraries.Symbol(library, "PackFree"));
  }
  if (!packing.pack || !packing.unpack || !packing.packFree) {
    error = "the packing library (unpack.dll beside the program) cannot be loaded";
    return false;
  }
  return true;
}

}  // namespace orv::mkstep
