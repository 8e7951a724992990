// The report: one line per archive and per group of files, the items the
// formats cannot express, and a summary line; or the same as JSON.
#include <cstdio>

#include "MkStep.h"

namespace orv::mkstep {

namespace {

struct Totals {
  std::uint64_t patched = 0, changedEntries = 0, addedEntries = 0, changedBytes = 0;
  std::uint64_t files = 0, fileBytes = 0, cabinetBytes = 0;
};

Totals Sum(const StepReport& report)
{
  Totals totals;
  for (const ArchiveLine& line : report.archives) {
    totals.patched += line.how == ArchiveHow::Patched;
    totals.changedEntries += line.stats.changed;
    totals.addedEntries += line.stats.added;
    totals.changedBytes += line.stats.changedBytes;
  }
  totals.files = report.addList.size();
  for (const FileGroup& group : report.groups)
    totals.fileBytes += group.bytes;
  for (const auto& cabinet : report.cabinets)
    totals.cabinetBytes += cabinet.second;
  return totals;
}

std::uint64_t Count(const StepReport& report, NoteWeight weight)
{
  std::uint64_t count = 0;
  for (const Note& note : report.notes)
    count += WeightOf(note.kind) == weight;
  return count;
}

std::string Number(std::uint64_t value)
{
  return std::to_string(value);
}

// The length of the UTF-8 character starting at `at`, or 0 when the bytes
// there are not one.
std::size_t CharacterLength(const Utf8& text, std::size_t at)
{
  const unsigned char first = static_cast<unsigned char>(text[at]);
  const std::size_t length = first < 0x80                    ? 1
                             : first >= 0xC2 && first < 0xE0 ? 2
                             : first >= 0xE0 && first < 0xF0 ? 3
                             : first >= 0xF0 && first < 0xF5 ? 4
                                                             : 0;
  if (length == 0 || at + length > text.size())
    return 0;
  for (std::size_t i = 1; i < length; ++i)
    if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80)
      return 0;
  return length;
}

// A JSON string; whatever is not UTF-8 becomes U+FFFD, so that the report
// always parses.
std::string Quoted(const Utf8& utf8)
{
  std::string out = "\"";
  for (std::size_t at = 0; at < utf8.size(); ++at) {
    const char c = utf8[at];
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      const std::size_t length = CharacterLength(utf8, at);
      if (length == 0) {
        out += "\\ufffd";
        continue;
      }
      out += utf8.substr(at, length);
      at += length - 1;
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string GroupLabel(const FileGroup& group)
{
  return group.name.empty() ? "(game folder)" : Utf8Name(group.name) + "\\";
}

const char* HowName(ArchiveHow how)
{
  switch (how) {
    case ArchiveHow::Patched:
      return "patched";
    case ArchiveHow::Unchanged:
      return "unchanged";
    case ArchiveHow::AsFiles:
      return "as-files";
    case ArchiveHow::NewAsFiles:
      return "new-as-files";
  }
  return "?";
}

const char* WeightLabel(NoteKind kind)
{
  switch (WeightOf(kind)) {
    case NoteWeight::Info:
      return "note";
    case NoteWeight::Gap:
      return "gap";
    case NoteWeight::Error:
      break;
  }
  return "refused";
}

}  // namespace

Utf8 ReportText(const StepReport& report)
{
  std::string text;
  for (const ArchiveLine& line : report.archives) {
    const ArchiveStats& s = line.stats;
    text += "archive " + Utf8Name(line.name) + ": ";
    if (line.how == ArchiveHow::AsFiles || line.how == ArchiveHow::NewAsFiles) {
      text += line.how == ArchiveHow::AsFiles ? "shipped as files\n" : "new, shipped as files\n";
      continue;
    }
    text += std::string(HowName(line.how)) + ", " + Number(s.entries) +
            " entries: " + Number(s.same) + " same, " + Number(s.changed) + " changed, " +
            Number(s.added) + " new, " + Number(s.kept.size()) + " kept; " +
            Number(s.changedBytes) + " bytes changed";
    if (s.dflBytes > 0)
      text += " -> " + Utf8Name(line.dflName) + " (" + Number(s.dflBytes) + " bytes)";
    text += "\n";
  }
  for (const FileGroup& group : report.groups)
    text += "files " + GroupLabel(group) + ": " + Number(group.added) + " new, " +
            Number(group.changed) + " changed, " + Number(group.same) + " same, " +
            Number(group.kept) + " kept; " + Number(group.bytes) + " bytes shipped\n";
  for (const Note& note : report.notes) {
    text += std::string(WeightLabel(note.kind)) + ": " + KindName(note.kind) + " " + note.name;
    if (!note.entry.empty())
      text += " : " + Utf8Name(note.entry);
    text += " (" + note.why + ")\n";
  }
  for (const auto& [name, size] : report.cabinets)
    text += "cabinet " + name + ": " + Number(size) + " bytes\n";
  const Totals t = Sum(report);
  text += "step " + Number(report.fromVersion) + " -> " + Number(report.toVersion) + ": " +
          Number(t.patched) + " archives patched (" + Number(t.changedEntries) + " changed, " +
          Number(t.addedEntries) + " new entries, " + Number(t.changedBytes) + " bytes), " +
          Number(t.files) + " files shipped (" + Number(t.fileBytes) + " bytes), " +
          Number(report.cabinets.size()) + " cabinets (" + Number(t.cabinetBytes) + " bytes), " +
          Number(Count(report, NoteWeight::Gap)) + " gaps, " +
          Number(Count(report, NoteWeight::Error)) + " refused";
  if (!report.checked.empty())
    text += ", check " + report.checked;
  if (!report.folder.empty())
    text += ", in " + report.folder;
  return text + "\n";
}

Utf8 ReportJson(const StepReport& report)
{
  std::string json = "{\n  \"from\": " + Number(report.fromVersion) +
                     ",\n  \"to\": " + Number(report.toVersion) + ",\n  \"archives\": [";
  const char* separator = "\n    ";
  for (const ArchiveLine& line : report.archives) {
    const ArchiveStats& s = line.stats;
    json += separator;
    separator = ",\n    ";
    json +=
        "{\"name\": " + Quoted(Utf8Name(line.name)) + ", \"how\": " + Quoted(HowName(line.how)) +
        ", \"dfl\": " + Quoted(s.dflBytes > 0 ? Utf8Name(line.dflName) : "") +
        ", \"entries\": " + Number(s.entries) + ", \"same\": " + Number(s.same) +
        ", \"changed\": " + Number(s.changed) + ", \"new\": " + Number(s.added) +
        ", \"kept\": " + Number(s.kept.size()) + ", \"changedBytes\": " + Number(s.changedBytes) +
        ", \"dflBytes\": " + Number(s.dflBytes) + "}";
  }
  json += "\n  ],\n  \"files\": [";
  separator = "\n    ";
  for (const FileGroup& group : report.groups) {
    json += separator;
    separator = ",\n    ";
    json += "{\"folder\": " + Quoted(Utf8Name(group.name)) + ", \"new\": " + Number(group.added) +
            ", \"changed\": " + Number(group.changed) + ", \"same\": " + Number(group.same) +
            ", \"kept\": " + Number(group.kept) + ", \"bytes\": " + Number(group.bytes) + "}";
  }
  json += "\n  ],\n  \"notes\": [";
  separator = "\n    ";
  for (const Note& note : report.notes) {
    json += separator;
    separator = ",\n    ";
    json += "{\"kind\": " + Quoted(KindName(note.kind)) +
            ", \"weight\": " + Quoted(WeightLabel(note.kind)) + ", \"name\": " + Quoted(note.name) +
            ", \"entry\": " + Quoted(Utf8Name(note.entry)) + ", \"why\": " + Quoted(note.why) + "}";
  }
  json += "\n  ],\n  \"cabinets\": [";
  separator = "\n    ";
  for (const auto& [name, size] : report.cabinets) {
    json += separator;
    separator = ",\n    ";
    json += "{\"name\": " + Quoted(name) + ", \"bytes\": " + Number(size) + "}";
  }
  const Totals t = Sum(report);
  json += "\n  ],\n  \"summary\": {\"archivesPatched\": " + Number(t.patched) +
          ", \"entriesChanged\": " + Number(t.changedEntries) +
          ", \"entriesNew\": " + Number(t.addedEntries) +
          ", \"entryBytes\": " + Number(t.changedBytes) + ", \"filesShipped\": " + Number(t.files) +
          ", \"fileBytes\": " + Number(t.fileBytes) +
          ", \"cabinetBytes\": " + Number(t.cabinetBytes) +
          ", \"gaps\": " + Number(Count(report, NoteWeight::Gap)) +
          ", \"refused\": " + Number(Count(report, NoteWeight::Error)) +
          ", \"check\": " + Quoted(report.checked) + ", \"folder\": " + Quoted(report.folder) +
          "}\n}\n";
  return json;
}

}  // namespace orv::mkstep
