// One step from two game folders: which archives get a .dfl, which files go
// into the cabinets, and the lists the launcher reads.
//
// The launcher extracts every cabinet into one work folder and then looks
// there for two kinds of file by name alone: every "*.dfl" directly in it is
// applied as a patch, and each line of the add list is taken from where the
// launcher's placement rule says. A file of the step whose name would meet
// another there would be placed with the wrong bytes, or fail every
// player's step, so such a NEW is refused, before any cabinet is written.
#include <algorithm>
#include <cstdio>
#include <map>

#include "MkStep.h"
#include "app/Text.h"
#include "patcher/ArchivePatch.h"
#include "patcher/Placement.h"
#include "patchkit/Files.h"

namespace orv::mkstep {

namespace {

// An add-list line is read into 256 bytes with its line end.
constexpr std::size_t kLongestListedName = 253;

bool EndsWith(const std::string& text, const std::string& end)
{
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The top folder of a launcher name; "" for a file of the game folder itself.
std::string TopFolder(const std::string& name)
{
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(name[i]);
    if (IsLeadByte(byte) && i + 1 < name.size())
      ++i;
    else if (byte == '\\')
      return name.substr(0, i);
  }
  return {};
}

// The name without ".hed"/".dat" when the file is one half of a pair that
// the folder holds both halves of.
bool ArchiveBase(const GameFolder& folder, const std::string& name, std::string& base)
{
  const bool hed = EndsWith(name, ".hed"), dat = EndsWith(name, ".dat");
  if (!hed && !dat)
    return false;
  base = name.substr(0, name.size() - 4);
  return folder.Find(base + (hed ? ".dat" : ".hed")) != nullptr;
}

// A .dfl names its archive by the path with every `\` as `_`; the launcher
// turns every `_` back. A path that does not come back the same cannot be
// named.
bool DflNameOf(const std::string& base, std::string& dflName)
{
  const std::string flat = ReplaceAll(base, "\\", "_");
  dflName = flat + ".dfl";
  return ReplaceAll(flat, "_", "\\") == base;
}

// Where a pair lies, without its extension.
fs::path PairPath(const GameFolder& folder, const std::string& base)
{
  fs::path path = folder.Find(base + ".hed")->path;
  return path.replace_extension();
}

FileGroup& GroupOf(std::vector<FileGroup>& groups, const std::string& name)
{
  const std::string top = TopFolder(name);
  for (FileGroup& group : groups)
    if (group.name == top)
      return group;
  groups.push_back({top});
  return groups.back();
}

// What lies in the work folder after extraction, by folded name: the
// step's own files, the patches and the shipped files with their folders.
struct WorkItem {
  bool folder = false;
  Utf8 shown;
  std::string what;  // what it is, for the message
};

class StepMaker {
 public:
  StepMaker(const fs::path& folder, int version, const Packing& packing, const StepOptions& options,
            StepReport& report)
      : m_folder(folder),
        m_version(version),
        m_packing(packing),
        m_options(options),
        m_report(report)
  {
  }

  bool Make(const fs::path& oldGame, const fs::path& newGame, std::string& error)
  {
    if (!ScanGameFolder(oldGame, m_old, error) || !ScanGameFolder(newGame, m_new, error))
      return false;
    for (const Refusal& refused : m_new.refused)
      Add(NoteKind::RefusedName, refused.name, refused.why);
    CompareShapes();
    // The archives are the long part: a NEW that cannot be published is
    // said before it.
    if (m_report.Has(NoteWeight::Error))
      return true;
    m_versionFile = {"orv.ver", newGame / "orv.ver", 0};
    const fs::path dflWork = m_folder / "dfl-work";
    std::error_code failure;
    fs::create_directories(dflWork, failure);
    if (failure) {
      error = "cannot create " + Utf8Path(dflWork) + ": " + failure.message();
      return false;
    }
    bool made = CompareArchives(dflWork, error) && CompareFiles(error);
    if (made) {
      CheckPlacement();
      CheckSizes();
      // Nothing is written for a step that is refused.
      if (!m_report.Has(NoteWeight::Error))
        made = WriteCabinets(error) && WriteLists(error);
    }
    fs::remove_all(dflWork, failure);
    return made;
  }

 private:
  void Add(NoteKind kind, const Utf8& name, const std::string& why, const Sjis& entry = {})
  {
    m_report.notes.push_back({kind, name, entry, why});
  }

  // What a step cannot change: a name's case, a file into a folder or back.
  // Folders that appear empty or go away are gaps.
  void CompareShapes()
  {
    std::map<Utf8, std::pair<Utf8, bool>> old;  // folded -> name, is a folder
    for (const GameFile& file : m_old.files)
      old[FoldName(file.shown)] = {file.shown, false};
    for (const GameFolderEntry& folder : m_old.folders)
      old[FoldName(folder.shown)] = {folder.shown, true};
    auto compare = [&](const Utf8& shown, bool isFolder) {
      const auto found = old.find(FoldName(shown));
      if (found == old.end())
        return;
      if (found->second.second != isFolder)
        Add(NoteKind::Misplaced, shown,
            std::string("is a ") + (isFolder ? "file" : "folder") +
                " in OLD: a step cannot turn one into the other");
      else if (found->second.first != shown)
        Add(NoteKind::RefusedName, shown,
            "differs only in case from OLD's " + found->second.first + ": a step cannot rename");
    };
    for (const GameFile& file : m_new.files)
      compare(file.shown, false);
    for (const GameFolderEntry& folder : m_new.folders) {
      compare(folder.shown, true);
      if (!folder.holdsFiles && !m_old.FindFolder(folder.name))
        Add(NoteKind::EmptyFolder, folder.shown,
            "a step creates folders only for the files in them");
    }
    for (const GameFolderEntry& folder : m_old.folders)
      if (!m_new.FindFolder(folder.name))
        Add(NoteKind::FolderKept, folder.shown, "a step cannot delete a folder: it stays");
  }

  bool CompareArchives(const fs::path& dflWork, std::string& error)
  {
    std::vector<std::string> bases;
    for (const GameFile& file : m_new.files) {
      std::string base;
      if (EndsWith(file.name, ".hed") && ArchiveBase(m_new, file.name, base))
        bases.push_back(base);
    }
    for (const std::string& base : bases) {
      ArchiveLine line{base, ArchiveHow::Unchanged, "", {}};
      std::string dflName;
      const bool nameable = DflNameOf(base, dflName);
      std::string oldBase;
      const bool inOld = ArchiveBase(m_old, base + ".hed", oldBase);
      // The launcher patches only a pair whose index holds records.
      const bool patchable =
          inOld && HoldsRecords(PairPath(m_old, base)) && HoldsRecords(PairPath(m_new, base));
      if (!nameable || !patchable) {
        line.how = inOld ? ArchiveHow::AsFiles : ArchiveHow::NewAsFiles;
        Add(NoteKind::ArchiveAsFiles, Utf8Name(base),
            !inOld      ? "a .dfl patches only an archive the game already has"
            : !nameable ? "a .dfl cannot name an archive whose path holds '_'"
                        : "a .dfl cannot patch an empty archive, nor make one empty");
        m_report.archives.push_back(line);
        continue;  // its two files go the way of plain files
      }
      m_patchedPairs.insert(base);
      line.dflName = dflName;
      const std::string utf8 = Utf8Name(base);
      auto progress = [&](std::uint64_t done, std::uint64_t total) {
        if (m_options.progress)
          m_options.progress(utf8, done, total);
      };
      if (!CompareArchive(PairPath(m_old, base), PairPath(m_new, base), dflWork / dflName,
                          m_packing, line.stats, error, progress)) {
        return false;
      }
      line.how = line.stats.dflBytes > 0 ? ArchiveHow::Patched : ArchiveHow::Unchanged;
      if (line.stats.dflBytes > 0)
        m_dfls.push_back({dflName, dflWork / dflName, line.stats.dflBytes});
      for (const std::string& entry : line.stats.kept)
        Add(NoteKind::EntryKept, utf8, "a .dfl cannot delete an entry: it stays", entry);
      for (const std::string& entry : line.stats.duplicates)
        Add(NoteKind::EntryDuplicate, utf8,
            "the launcher finds only the first entry of a name: this one is not carried", entry);
      m_report.archives.push_back(line);
    }
    return true;
  }

  bool IsPatchedHalf(const std::string& name) const
  {
    return (EndsWith(name, ".hed") || EndsWith(name, ".dat")) &&
           m_patchedPairs.count(name.substr(0, name.size() - 4)) > 0;
  }

  bool CompareFiles(std::string& error)
  {
    for (const GameFile& file : m_new.files) {
      if (file.name == "orv.ver" || IsPatchedHalf(file.name))
        continue;
      FileGroup& group = GroupOf(m_report.groups, file.name);
      const GameFile* old = m_old.Find(file.name);
      bool same = false;
      if (old && !SameFileBytes(old->path, file.path, same, error))
        return false;
      if (same) {
        ++group.same;
        continue;
      }
      ++(old ? group.changed : group.added);
      group.bytes += file.size;
      m_files.push_back({file.name, file.path, file.size});
      m_shown[file.name] = file.shown;
    }
    for (const GameFile& file : m_old.files) {
      if (m_new.Find(file.name) || IsPatchedHalf(file.name))
        continue;
      ++GroupOf(m_report.groups, file.name).kept;
      Add(NoteKind::FileKept, file.shown, "a step cannot delete a file: it stays");
    }
    std::sort(m_report.groups.begin(), m_report.groups.end(),
              [](const FileGroup& a, const FileGroup& b) { return a.name < b.name; });
    return true;
  }

  // Adds an item of the work folder; false with what it meets when another
  // item than a folder lies there already.
  bool Place(std::map<Utf8, WorkItem>& work, const Sjis& name, const WorkItem& item,
             std::string& meets)
  {
    const auto [found, fresh] = work.emplace(FoldName(Utf8Name(name)), item);
    if (fresh || (found->second.folder && item.folder))
      return true;
    meets = found->second.shown + " (" + found->second.what + ")";
    return false;
  }

  // Every shipped file is taken by the launcher's own rule from the work
  // folder the cabinets are extracted into: a file that would be taken from
  // elsewhere there, or meets another, or be applied as a patch, is
  // refused.
  void CheckPlacement()
  {
    std::map<Utf8, WorkItem> work;
    std::string meets;
    for (const char* list : {"dl_list.txt", "add_list.txt"})
      Place(work, list, {false, list, "a list of the step"}, meets);
    Place(work, "orv.ver", {false, "orv.ver", "the version file"}, meets);
    for (const StepFile& dfl : m_dfls)
      Place(work, dfl.name, {false, Utf8Name(dfl.name), "a patch of the step"}, meets);
    for (const StepFile& file : m_files) {
      const Utf8& shown = m_shown[file.name];
      if (file.name.size() > kLongestListedName) {
        Add(NoteKind::Misplaced, shown, "the name is longer than a line of add_list.txt holds");
        continue;
      }
      bool placed = true;
      for (std::size_t i = 0; i < file.name.size() && placed; ++i) {
        const unsigned char byte = static_cast<unsigned char>(file.name[i]);
        if (IsLeadByte(byte) && i + 1 < file.name.size())
          ++i;
        else if (byte == '\\')
          placed = Place(work, file.name.substr(0, i),
                         {true, Utf8Name(file.name.substr(0, i)), "a folder of the step"}, meets);
      }
      if (placed)
        placed = Place(work, file.name, {false, shown, "a file of the step"}, meets);
      if (!placed)
        Add(NoteKind::Misplaced, shown,
            "meets " + meets + " in the launcher's work folder, where the cabinets are extracted");
    }
    for (const StepFile& file : m_files) {
      const PlacementSources sources = PlacementSourcesOf(file.name);
      const Utf8 direct = FoldName(Utf8Name(sources.direct));
      const auto found = work.find(direct);
      if (direct != FoldName(Utf8Name(sources.nested)) && found != work.end())
        Add(NoteKind::Misplaced, m_shown[file.name],
            "the launcher would take " + found->second.shown + " (" + found->second.what +
                ") from its work folder in its place");
    }
    for (const auto& [folded, item] : work)
      if (folded.find('\\') == std::string::npos && EndsWith(folded, ".DFL") &&
          item.what != "a patch of the step")
        Add(NoteKind::Misplaced, item.shown, "the launcher would apply it as a patch");
  }

  // Every cabinet must stay within what the extractor accepts; a file larger
  // than that cannot be carried at all.
  void CheckSizes()
  {
    for (const std::vector<StepFile>* list : {&m_dfls, &m_files})
      for (const StepFile& file : *list)
        if (file.size > m_options.extractorLimit)
          Add(NoteKind::TooLarge, list == &m_dfls ? Utf8Name(file.name) : m_shown[file.name],
              std::to_string(file.size) + " bytes: a cabinet the launcher extracts holds at most " +
                  std::to_string(m_options.extractorLimit));
  }

  bool WriteCabinets(std::string& error)
  {
    std::set<std::string> taken = {"dl_list.txt", "add_list.txt", "orv.ver"};
    std::vector<StepFile> all = m_dfls;
    all.insert(all.end(), m_files.begin(), m_files.end());
    for (const StepFile& file : all)
      taken.insert(FoldCase(BaseNameOf(file.name)));
    std::error_code failure;
    m_versionFile.size = fs::file_size(m_versionFile.source, failure);
    const std::vector<CabinetPlan> plans = SplitCabinets(
        all, m_versionFile, std::min(m_options.cabinetLimit, m_options.extractorLimit), m_version,
        taken, kMaxCabinetFiles, m_options.extractorLimit);
    for (const CabinetPlan& plan : plans) {
      std::vector<patchkit::CabinetFile> files;
      for (const StepFile& file : plan.files)
        files.push_back({file.name, {}, file.source});
      const fs::path cabinet = m_folder / plan.name;
      if (!patchkit::MakeCabinet(cabinet, files, true, error))
        return false;
      const std::uintmax_t size = fs::file_size(cabinet, failure);
      if (failure) {
        error = "cannot measure " + Utf8Path(cabinet) + ": " + failure.message();
        return false;
      }
      m_report.cabinets.push_back({plan.name, size});
    }
    return true;
  }

  bool WriteLists(std::string& error)
  {
    std::string addList = std::to_string(m_files.size()) + "\r\n";
    for (const StepFile& file : m_files) {
      addList += file.name + "\r\n";
      m_report.addList.push_back(file.name);
    }
    if (!patchkit::WriteWholeFile(m_folder / "add_list.txt", addList, error))
      return false;
    std::string downloadList = "add_list.txt," + std::to_string(addList.size()) + "\r\n";
    for (const auto& [name, size] : m_report.cabinets)
      downloadList += name + "," + std::to_string(size) + "\r\n";
    return patchkit::WriteWholeFile(m_folder / "dl_list.txt", downloadList, error);
  }

  const fs::path m_folder;
  const int m_version;
  const Packing& m_packing;
  const StepOptions& m_options;
  StepReport& m_report;
  GameFolder m_old, m_new;
  std::set<std::string> m_patchedPairs;
  std::vector<StepFile> m_dfls;
  std::vector<StepFile> m_files;
  std::map<Sjis, Utf8> m_shown;  // the shipped files' names as NEW spells them
  StepFile m_versionFile;
};

}  // namespace

std::vector<CabinetPlan> SplitCabinets(const std::vector<StepFile>& files,
                                       const StepFile& versionFile, std::uint64_t limit,
                                       int version, const std::set<std::string>& takenNames,
                                       std::size_t maxFiles, std::uint64_t extractorLimit)
{
  std::vector<CabinetPlan> plans;
  auto full = [&](const CabinetPlan& plan, std::uint64_t adding) {
    return plan.files.size() >= maxFiles || (!plan.files.empty() && plan.bytes + adding > limit);
  };
  for (const StepFile& file : files) {
    if (plans.empty() || full(plans.back(), file.size))
      plans.emplace_back();
    plans.back().files.push_back(file);
    plans.back().bytes += file.size;
  }
  // The version file is tiny and must come last whatever the limit says,
  // but not make the last cabinet one the extractor refuses.
  if (plans.empty() || plans.back().files.size() >= maxFiles ||
      plans.back().bytes + versionFile.size > extractorLimit)
    plans.emplace_back();
  plans.back().files.push_back(versionFile);
  plans.back().bytes += versionFile.size;

  for (int attempt = 0;; ++attempt) {
    std::string prefix = "step" + std::to_string(version);
    if (attempt > 0)
      prefix += static_cast<char>('a' + (attempt - 1) % 26) + std::string(attempt / 26, 'z');
    bool free = true;
    for (std::size_t i = 0; i < plans.size(); ++i) {
      char number[32];
      std::snprintf(number, sizeof number, "-%03zu.cab", i + 1);
      plans[i].name = prefix + number;
      free = free && takenNames.count(FoldCase(plans[i].name)) == 0;
    }
    if (free)
      return plans;
  }
}

NoteWeight WeightOf(NoteKind kind)
{
  switch (kind) {
    case NoteKind::ArchiveAsFiles:
      return NoteWeight::Info;
    case NoteKind::FileKept:
    case NoteKind::FolderKept:
    case NoteKind::EntryKept:
    case NoteKind::EntryDuplicate:
    case NoteKind::EmptyFolder:
      return NoteWeight::Gap;
    case NoteKind::RefusedName:
    case NoteKind::Misplaced:
    case NoteKind::TooLarge:
      break;
  }
  return NoteWeight::Error;
}

const char* KindName(NoteKind kind)
{
  switch (kind) {
    case NoteKind::ArchiveAsFiles:
      return "archive-as-files";
    case NoteKind::FileKept:
      return "file-kept";
    case NoteKind::FolderKept:
      return "folder-kept";
    case NoteKind::EntryKept:
      return "entry-kept";
    case NoteKind::EntryDuplicate:
      return "entry-duplicate";
    case NoteKind::EmptyFolder:
      return "empty-folder";
    case NoteKind::RefusedName:
      return "refused-name";
    case NoteKind::Misplaced:
      return "misplaced";
    case NoteKind::TooLarge:
      return "too-large";
  }
  return "?";
}

bool StepReport::Has(NoteWeight weight) const
{
  return std::any_of(notes.begin(), notes.end(),
                     [&](const Note& note) { return WeightOf(note.kind) == weight; });
}

bool MakeStep(const fs::path& oldGame, const fs::path& newGame, const fs::path& folder, int version,
              const Packing& packing, const StepOptions& options, StepReport& report,
              std::string& error)
{
  report.toVersion = version;
  report.fromVersion = version - 1;
  return StepMaker(folder, version, packing, options, report).Make(oldGame, newGame, error);
}

}  // namespace orv::mkstep
