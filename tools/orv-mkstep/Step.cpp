// One step from two game folders: which archives get a .dfl, which files go
// into the cabinets, and the lists the launcher reads.
//
// The launcher extracts every cabinet into one work folder and then looks
// there for two kinds of file by name alone: every "*.dfl" directly in it is
// applied as a patch, and each line of the add list is taken from the work
// folder's own top level first ("<work>\<file name>") and only then from
// under its folders. A file of the step whose name would meet another there
// would be placed with the wrong bytes, so such names are reported and left
// out instead.
#include <algorithm>
#include <cstdio>

#include "MkStep.h"
#include "app/Text.h"
#include "patcher/ArchivePatch.h"
#include "patchkit/Files.h"

namespace orv::mkstep {

namespace {

// An add-list line is read into 256 bytes with its line end.
constexpr std::size_t kLongestListedName = 253;
// What one cabinet folder can hold uncompressed.
constexpr std::uint64_t kLargestShippedFile = 0x7FFF8000u;

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
    for (const std::string& refused : m_new.refused)
      m_report.notes.push_back({"refused-name", refused, "", "the name has no Shift_JIS form"});
    m_versionFile = {"orv.ver", newGame / "orv.ver", 0};
    const fs::path dflWork = m_folder / "dfl-work";
    std::error_code failure;
    fs::create_directories(dflWork, failure);
    if (failure) {
      error = "cannot create " + Utf8Path(dflWork) + ": " + failure.message();
      return false;
    }
    const bool made = CompareArchives(dflWork, error) && CompareFiles(error) &&
                      LeaveOutClashingNames() && WriteCabinets(error) && WriteLists(error);
    fs::remove_all(dflWork, failure);
    return made;
  }

 private:
  bool CompareArchives(const fs::path& dflWork, std::string& error)
  {
    std::vector<std::string> bases;
    for (const GameFile& file : m_new.files) {
      std::string base;
      if (EndsWith(file.name, ".hed") && ArchiveBase(m_new, file.name, base))
        bases.push_back(base);
    }
    for (const std::string& base : bases) {
      ArchiveLine line{base, "", "", {}};
      std::string dflName;
      const bool nameable = DflNameOf(base, dflName);
      std::string oldBase;
      const bool inOld = ArchiveBase(m_old, base + ".hed", oldBase);
      if (!nameable || !inOld) {
        line.how = inOld ? "as-files" : "new-as-files";
        m_report.notes.push_back({"archive-as-files", base, "",
                                  inOld ? "a .dfl cannot name an archive whose path holds '_'"
                                        : "a .dfl patches only an archive the game already has"});
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
      line.how = line.stats.dflBytes > 0 ? "patched" : "unchanged";
      if (line.stats.dflBytes > 0)
        m_dfls.push_back({dflName, dflWork / dflName, line.stats.dflBytes});
      for (const std::string& entry : line.stats.kept)
        m_report.notes.push_back(
            {"entry-kept", base, entry, "a .dfl cannot delete an entry: it stays"});
      for (const std::string& entry : line.stats.duplicates)
        m_report.notes.push_back(
            {"entry-duplicate", base, entry, "the launcher finds only the first entry of a name"});
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
      m_files.push_back({file.name, file.path, file.size});
    }
    for (const GameFile& file : m_old.files) {
      if (m_new.Find(file.name) || IsPatchedHalf(file.name))
        continue;
      ++GroupOf(m_report.groups, file.name).kept;
      m_report.notes.push_back(
          {"file-kept", file.name, "", "a step cannot delete a file: it stays"});
    }
    return true;
  }

  // Leaves out the files the launcher would place wrongly, or not at all.
  bool LeaveOutClashingNames()
  {
    std::set<std::string> topLevel = {"dl_list.txt", "add_list.txt", "orv.ver"};
    for (const StepFile& dfl : m_dfls)
      topLevel.insert(FoldCase(dfl.name));
    for (const StepFile& file : m_files)
      if (TopFolder(file.name).empty())
        topLevel.insert(FoldCase(file.name));
    std::vector<StepFile> kept;
    for (const StepFile& file : m_files) {
      const std::string folded = FoldCase(file.name);
      const bool atTop = TopFolder(file.name).empty();
      std::string why;
      if (file.name.size() > kLongestListedName)
        why = "the name is longer than an add_list.txt line can hold";
      else if (file.size > kLargestShippedFile)
        why = "the file is larger than a cabinet can hold";
      else if (atTop && (folded == "dl_list.txt" || folded == "add_list.txt"))
        why = "the name is one of the step's own lists";
      else if (atTop && EndsWith(folded, ".dfl"))
        why = "the launcher would apply it as a patch";
      else if (!atTop && topLevel.count(FoldCase(BaseNameOf(file.name))))
        why = "a file of that name at the top of the step would be placed instead";
      if (why.empty()) {
        kept.push_back(file);
        continue;
      }
      FileGroup& group = GroupOf(m_report.groups, file.name);
      ++group.notShipped;
      --(m_old.Find(file.name) ? group.changed : group.added);
      m_report.notes.push_back({"not-shipped", file.name, "", why});
    }
    m_files = std::move(kept);
    for (const StepFile& file : m_files)
      GroupOf(m_report.groups, file.name).bytes += file.size;
    std::sort(m_report.groups.begin(), m_report.groups.end(),
              [](const FileGroup& a, const FileGroup& b) { return a.name < b.name; });
    return true;
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
    const std::vector<CabinetPlan> plans =
        SplitCabinets(all, m_versionFile, m_options.cabinetLimit, m_version, taken);
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
  StepFile m_versionFile;
};

}  // namespace

std::vector<CabinetPlan> SplitCabinets(const std::vector<StepFile>& files,
                                       const StepFile& versionFile, std::uint64_t limit,
                                       int version, const std::set<std::string>& takenNames,
                                       std::size_t maxFiles)
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
  // The version file is tiny and must come last whatever the limit says.
  if (plans.empty() || plans.back().files.size() >= maxFiles)
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

bool MakeStep(const fs::path& oldGame, const fs::path& newGame, const fs::path& folder, int version,
              const Packing& packing, const StepOptions& options, StepReport& report,
              std::string& error)
{
  report.toVersion = version;
  report.fromVersion = version - 1;
  return StepMaker(folder, version, packing, options, report).Make(oldGame, newGame, error);
}

}  // namespace orv::mkstep
