// The check: the step applied to a copy of OLD by the launcher's own patcher,
// exactly as after a download, and the result compared with NEW.
#include <map>

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

// The report's items the result may differ by.
struct Allowed {
  std::set<std::string> files;                           // kept or not shipped
  std::map<std::string, std::set<std::string>> entries;  // archive -> kept entries
};

Allowed AllowedBy(const StepReport& report)
{
  Allowed allowed;
  for (const Note& note : report.notes) {
    if (note.kind == "entry-kept")
      allowed.entries[note.name].insert(note.entry);
    else if (note.kind == "file-kept" || note.kind == "not-shipped")
      allowed.files.insert(note.name);
  }
  return allowed;
}

bool IsPairHalf(const GameFolder& folder, const std::string& name, std::string& base)
{
  const bool hed = name.size() > 4 && name.compare(name.size() - 4, 4, ".hed") == 0;
  const bool dat = name.size() > 4 && name.compare(name.size() - 4, 4, ".dat") == 0;
  if (!hed && !dat)
    return false;
  base = name.substr(0, name.size() - 4);
  return folder.Find(base + (hed ? ".dat" : ".hed")) != nullptr;
}

fs::path Without(fs::path path)
{
  return path.replace_extension();
}

}  // namespace

bool CompareGames(const fs::path& result, const fs::path& newGame, const StepReport& report,
                  const Packing& packing, std::vector<std::string>& problems, std::string& error)
{
  GameFolder got, wanted;
  if (!ScanGameFolder(result, got, error) || !ScanGameFolder(newGame, wanted, error))
    return false;
  const Allowed allowed = AllowedBy(report);
  for (const GameFile& file : wanted.files) {
    if (allowed.files.count(file.name))
      continue;
    const GameFile* mine = got.Find(file.name);
    const std::string shown = Utf8Name(file.name);
    if (!mine) {
      problems.push_back(shown + " is missing");
      continue;
    }
    std::string base;
    if (IsPairHalf(wanted, file.name, base) && IsPairHalf(got, file.name, base)) {
      if (file.name.back() == 't')  // the .hed stands for the pair
        continue;
      ArchiveStats stats;
      if (!CompareArchive(Without(mine->path), Without(file.path), {}, packing, stats, error))
        return false;
      for (const std::string& entry : stats.differing)
        problems.push_back("entry " + Utf8Name(entry) + " of " + Utf8Name(base) +
                           " differs or is missing");
      const auto keep = allowed.entries.find(base);
      for (const std::string& entry : stats.kept)
        if (keep == allowed.entries.end() || !keep->second.count(entry))
          problems.push_back("entry " + Utf8Name(entry) + " of " + Utf8Name(base) +
                             " should not be there");
      continue;
    }
    bool same = false;
    if (!SameFileBytes(mine->path, file.path, same, error))
      return false;
    if (!same)
      problems.push_back(shown + " differs");
  }
  for (const GameFile& file : got.files)
    if (!wanted.Find(file.name) && !allowed.files.count(file.name))
      problems.push_back(Utf8Name(file.name) + " should not be there");
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
    for (const std::string& line : view.lines)
      said += "\n  " + Utf8Name(line);
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
