// step_builder: makes what a patch server offers, from a short description.
//
//   step_builder <server-root> <description-file>
//       makes one complete version step: the folder D%08d of its version
//       under the root, holding dl_list.txt (add_list.txt first, then the
//       cabinets), add_list.txt and the cabinets; orv.ver with the new
//       version goes into the last cabinet.
//   step_builder --archive <archive-base> <description-file>
//       writes the archive pair <archive-base>.hed and .dat holding the
//       description's entries in order (a game folder's starting state).
//   step_builder --list <archive-base>
//       prints the entries of an archive pair: names, sizes, contents.
//
// A description is UTF-8 text with one instruction per line. Blank lines and
// lines starting with '#' are skipped. Words are separated by spaces, so a
// name is one word; folders inside names are separated by '\'.
//
//   version 42                     the version the step produces (once)
//   cabinet step42.cab             starts a cabinet; what follows goes into it
//   dfl data_main.dfl              starts a .dfl patch file in the cabinet; it
//                                  patches data\main.hed/.dat ('_' is '\')
//   dfl data_main.dfl packed-names the same with its names block packed
//   entry a.txt text A42           an entry of the current .dfl, stored as is
//   entry new.txt packed-text N42  an entry stored packed (zlib)
//   file maps\m1\map.dat first     a file of the cabinet; content: the rest
//                                  of the line
//   add maps\m1\map.dat            a line of add_list.txt (a file of the
//                                  step to place into the game folder)
//   no-version-file                leave orv.ver out of the last cabinet
//
// An archive description (--archive) holds only `entry` lines, and
// `packed-names` to store its name table packed.
//
// Names (of .dfl files, entries, cabinet files and add lines) are texts of
// the launcher and are written in Shift_JIS. Contents are written as given,
// byte for byte, without a line end. Cabinet names travel in dl_list.txt and
// in the request path, so they are kept to plain ASCII letters, digits, '.',
// '-' and '_'.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "patchkit/ArchiveMaker.h"
#include "patchkit/PatchStep.h"
#include "platform/posix/Cp932.h"

namespace {

using namespace orv;
namespace fs = std::filesystem;

// A .dfl being described, kept apart from the cabinet's other files until
// the cabinet is made so that its entries can follow its line.
struct DflFile {
  std::string name;  // Shift_JIS
  std::vector<patchkit::ArchiveEntry> entries;
  bool packNames = false;
};

// One cabinet as described: its .dfl files and plain files in line order.
struct CabinetPlan {
  std::string name;
  std::vector<DflFile> dfls;
  std::vector<std::size_t> order;  // index into dfls, or kPlainFile + index into files
  std::vector<patchkit::CabinetFile> files;
};

constexpr std::size_t kPlainFile = std::size_t{1} << 30;

struct Description {
  int version = 0;
  bool hasVersion = false;
  bool withVersionFile = true;
  bool packNames = false;  // archive mode
  std::vector<CabinetPlan> cabinets;
  std::vector<std::string> addList;               // Shift_JIS
  std::vector<patchkit::ArchiveEntry> entries;    // archive mode
};

std::string Utf8(std::string_view cp932)
{
  std::string utf8;
  return posix::Cp932ToUtf8(cp932, utf8) ? utf8 : std::string(cp932);
}

// The next space-separated word from `at`; empty at the end of the line.
std::string_view NextWord(std::string_view line, std::size_t& at)
{
  while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
    ++at;
  const std::size_t start = at;
  while (at < line.size() && line[at] != ' ' && line[at] != '\t')
    ++at;
  return line.substr(start, at - start);
}

// The rest of the line after the separator that follows the last word.
std::string_view RestOfLine(std::string_view line, std::size_t at)
{
  if (at < line.size())
    ++at;
  return line.substr(std::min(at, line.size()));
}

bool PlainAsciiName(std::string_view name)
{
  if (name.empty() || name == "." || name == "..")
    return false;
  for (const char c : name) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letter && c != '.' && c != '-' && c != '_')
      return false;
  }
  return true;
}

bool EndsWith(std::string_view text, std::string_view end)
{
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

class DescriptionReader {
 public:
  DescriptionReader(const fs::path& path, bool archiveMode)
      : m_path(path), m_archiveMode(archiveMode)
  {
  }

  bool Read(Description& description)
  {
    std::ifstream in(m_path, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "step_builder: cannot open %s\n", m_path.c_str());
      return false;
    }
    std::string line;
    while (std::getline(in, line)) {
      ++m_lineNumber;
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      if (!ReadLine(line, description))
        return false;
    }
    m_lineNumber = 0;
    if (m_archiveMode)
      return true;
    if (!description.hasVersion)
      return Fail("no `version` line");
    if (description.cabinets.empty())
      return Fail("a step needs at least one `cabinet`");
    for (std::size_t i = 0; i < description.cabinets.size(); ++i) {
      const bool carriesVersion =
          description.withVersionFile && i + 1 == description.cabinets.size();
      if (description.cabinets[i].order.empty() && !carriesVersion)
        return Fail("the cabinet " + description.cabinets[i].name + " holds no file");
    }
    return CheckAddList(description);
  }

 private:
  bool ReadLine(std::string_view line, Description& description)
  {
    std::size_t at = 0;
    const std::string_view keyword = NextWord(line, at);
    if (keyword.empty() || keyword[0] == '#')
      return true;
    if (keyword == "entry")
      return ReadEntry(line, at, description);
    if (m_archiveMode) {
      if (keyword == "packed-names" && NextWord(line, at).empty()) {
        description.packNames = true;
        return true;
      }
      return Fail("an archive description holds only `entry` and `packed-names` lines");
    }
    if (keyword == "version") {
      const std::string number(NextWord(line, at));
      char* end = nullptr;
      const long value = std::strtol(number.c_str(), &end, 10);
      if (description.hasVersion || number.empty() || *end != '\0' || value < 1 ||
          value > 99999999 || !NextWord(line, at).empty())
        return Fail("`version` takes one number from 1 to 99999999, once");
      description.version = static_cast<int>(value);
      description.hasVersion = true;
      return true;
    }
    if (keyword == "no-version-file") {
      description.withVersionFile = false;
      return true;
    }
    if (keyword == "cabinet") {
      const std::string_view name = NextWord(line, at);
      if (!PlainAsciiName(name) || !NextWord(line, at).empty())
        return Fail("`cabinet` takes one plain ASCII file name");
      description.cabinets.push_back({std::string(name), {}, {}, {}});
      m_currentDfl = nullptr;
      return true;
    }
    if (keyword == "dfl")
      return ReadDfl(line, at, description);
    if (keyword == "file")
      return ReadFile(line, at, description);
    if (keyword == "add") {
      std::string name;
      if (!Name(NextWord(line, at), name) || !NextWord(line, at).empty())
        return false;
      description.addList.push_back(name);
      return true;
    }
    return Fail("unknown instruction `" + std::string(keyword) + "`");
  }

  bool ReadDfl(std::string_view line, std::size_t& at, Description& description)
  {
    if (description.cabinets.empty())
      return Fail("`dfl` before any `cabinet`");
    const std::string_view utf8Name = NextWord(line, at);
    const std::string_view option = NextWord(line, at);
    if (!EndsWith(utf8Name, ".dfl") || (!option.empty() && option != "packed-names") ||
        !NextWord(line, at).empty())
      return Fail("`dfl` takes a name ending in .dfl and optionally `packed-names`");
    DflFile dfl;
    if (!Name(utf8Name, dfl.name))
      return false;
    dfl.packNames = !option.empty();
    CabinetPlan& cabinet = description.cabinets.back();
    cabinet.order.push_back(cabinet.dfls.size());
    cabinet.dfls.push_back(std::move(dfl));
    m_currentDfl = &cabinet.dfls.back();
    return true;
  }

  bool ReadFile(std::string_view line, std::size_t& at, Description& description)
  {
    if (description.cabinets.empty())
      return Fail("`file` before any `cabinet`");
    patchkit::CabinetFile file;
    if (!Name(NextWord(line, at), file.name))
      return false;
    file.content = std::string(RestOfLine(line, at));
    CabinetPlan& cabinet = description.cabinets.back();
    cabinet.order.push_back(kPlainFile + cabinet.files.size());
    cabinet.files.push_back(std::move(file));
    // Entries after a plain file would be ambiguous about their .dfl.
    m_currentDfl = nullptr;
    return true;
  }

  bool ReadEntry(std::string_view line, std::size_t& at, Description& description)
  {
    patchkit::ArchiveEntry entry;
    if (!Name(NextWord(line, at), entry.name))
      return false;
    const std::string_view kind = NextWord(line, at);
    if (kind != "text" && kind != "packed-text")
      return Fail("`entry` takes a name, `text` or `packed-text`, and the content");
    entry.packed = kind == "packed-text";
    entry.bytes = std::string(RestOfLine(line, at));
    if (m_archiveMode) {
      description.entries.push_back(std::move(entry));
      return true;
    }
    if (!m_currentDfl || description.cabinets.empty())
      return Fail("`entry` outside a `dfl`");
    m_currentDfl->entries.push_back(std::move(entry));
    return true;
  }

  // A launcher name: one word, converted to Shift_JIS.
  bool Name(std::string_view utf8, std::string& cp932)
  {
    if (utf8.empty())
      return Fail("a name is missing");
    if (!posix::Utf8ToCp932(utf8, cp932))
      return Fail("the name `" + std::string(utf8) + "` has no Shift_JIS form");
    return true;
  }

  // A name in add_list.txt that no cabinet carries would make the launcher
  // fail the step when it places the files; say so now instead.
  bool CheckAddList(const Description& description)
  {
    for (const std::string& name : description.addList) {
      bool found = false;
      for (const CabinetPlan& cabinet : description.cabinets)
        for (const patchkit::CabinetFile& file : cabinet.files)
          found = found || file.name == name;
      if (!found)
        return Fail("`add " + Utf8(name) + "`: no cabinet holds a file of that name");
    }
    return true;
  }

  bool Fail(const std::string& why)
  {
    if (m_lineNumber > 0)
      std::fprintf(stderr, "step_builder: %s:%d: %s\n", m_path.c_str(), m_lineNumber, why.c_str());
    else
      std::fprintf(stderr, "step_builder: %s: %s\n", m_path.c_str(), why.c_str());
    return false;
  }

  const fs::path m_path;
  const bool m_archiveMode;
  int m_lineNumber = 0;
  DflFile* m_currentDfl = nullptr;
};

std::string EntryNames(const std::vector<patchkit::ArchiveEntry>& entries)
{
  std::string text;
  for (const patchkit::ArchiveEntry& entry : entries) {
    if (!text.empty())
      text += ", ";
    text += Utf8(entry.name);
    if (entry.packed)
      text += " (packed)";
  }
  return text;
}

int BuildStep(const fs::path& serverRoot, const fs::path& descriptionPath)
{
  Description description;
  if (!DescriptionReader(descriptionPath, false).Read(description))
    return 1;

  patchkit::PatchStep step;
  step.version = description.version;
  step.withVersionFile = description.withVersionFile;
  step.addList = description.addList;
  std::vector<std::string> summaries;
  for (const CabinetPlan& plan : description.cabinets) {
    std::vector<patchkit::CabinetFile> files;
    std::string summary;
    for (const std::size_t index : plan.order) {
      if (!summary.empty())
        summary += ", ";
      if (index >= kPlainFile) {
        const patchkit::CabinetFile& file = plan.files[index - kPlainFile];
        files.push_back(file);
        summary += Utf8(file.name) + " (" + std::to_string(file.content.size()) + " bytes)";
        continue;
      }
      const DflFile& dfl = plan.dfls[index];
      std::string bytes, error;
      if (!patchkit::MakeDfl(dfl.entries, dfl.packNames, bytes, error)) {
        std::fprintf(stderr, "step_builder: %s: %s\n", Utf8(dfl.name).c_str(), error.c_str());
        return 1;
      }
      files.push_back({dfl.name, bytes, {}});
      summary += Utf8(dfl.name) + " [" + EntryNames(dfl.entries) + "]";
    }
    summaries.push_back(plan.name + ": " + summary);
    step.cabinets.push_back({plan.name, std::move(files)});
  }
  if (step.withVersionFile)
    summaries.back() += (summaries.back().back() == ' ' ? "" : ", ") + std::string("orv.ver (") +
                        std::to_string(step.version) + ")";

  std::string error;
  if (!patchkit::WriteStep(serverRoot, step, error)) {
    std::fprintf(stderr, "step_builder: step %d: %s\n", step.version, error.c_str());
    return 1;
  }
  const fs::path folder = patchkit::StepFolder(serverRoot, step.version);
  std::printf("step %d -> %s\n", step.version, folder.c_str());
  std::string listed = "add_list.txt";
  for (const CabinetPlan& plan : description.cabinets)
    listed += ", " + plan.name;
  std::printf("  dl_list.txt: %s\n", listed.c_str());
  std::string added;
  for (const std::string& name : description.addList)
    added += (added.empty() ? "" : ", ") + Utf8(name);
  std::printf("  add_list.txt: %zu file(s)%s%s\n", description.addList.size(),
              added.empty() ? "" : ": ", added.c_str());
  for (const std::string& summary : summaries)
    std::printf("  %s\n", summary.c_str());
  return 0;
}

int BuildArchive(const fs::path& base, const fs::path& descriptionPath)
{
  Description description;
  if (!DescriptionReader(descriptionPath, true).Read(description))
    return 1;
  std::error_code ignored;
  if (base.has_parent_path())
    fs::create_directories(base.parent_path(), ignored);
  std::string error;
  if (!patchkit::WriteArchive(base, description.entries, description.packNames, error)) {
    std::fprintf(stderr, "step_builder: %s\n", error.c_str());
    return 1;
  }
  std::printf("archive %s.hed/.dat: %zu entries: %s\n", base.c_str(), description.entries.size(),
              EntryNames(description.entries).c_str());
  return 0;
}

// Contents are shown when they are short text; anything else by its size.
std::string Shown(const std::string& bytes)
{
  constexpr std::size_t kShownLimit = 60;
  for (const char c : bytes)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      return "(binary)";
  if (bytes.size() > kShownLimit)
    return "\"" + bytes.substr(0, kShownLimit) + "...\"";
  return "\"" + bytes + "\"";
}

int ListArchive(const fs::path& base)
{
  std::vector<patchkit::ArchiveEntry> entries;
  std::string error;
  if (!patchkit::ReadArchive(base, entries, error)) {
    std::fprintf(stderr, "step_builder: %s\n", error.c_str());
    return 1;
  }
  std::printf("archive %s.hed/.dat: %zu entries\n", base.c_str(), entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i)
    std::printf("  %zu  %s  (%zu bytes, %s)  %s\n", i + 1, Utf8(entries[i].name).c_str(),
                entries[i].bytes.size(), entries[i].packed ? "packed" : "unpacked",
                Shown(entries[i].bytes).c_str());
  return 0;
}

int Usage()
{
  std::fprintf(stderr,
               "usage: step_builder <server-root> <description-file>\n"
               "       step_builder --archive <archive-base> <description-file>\n"
               "       step_builder --list <archive-base>\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv)
{
  if (argc == 3 && std::strcmp(argv[1], "--list") == 0)
    return ListArchive(argv[2]);
  if (argc == 4 && std::strcmp(argv[1], "--archive") == 0)
    return BuildArchive(argv[2], argv[3]);
  if (argc == 3 && argv[1][0] != '-')
    return BuildStep(argv[1], argv[2]);
  return Usage();
}
