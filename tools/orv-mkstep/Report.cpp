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
    totals.patched += line.how == "patched";
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

std::string Number(std::uint64_t value)
{
  return std::to_string(value);
}

std::string Quoted(const std::string& utf8)
{
  std::string out = "\"";
  for (const char c : utf8) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
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

}  // namespace

std::string ReportText(const StepReport& report)
{
  std::string text;
  for (const ArchiveLine& line : report.archives) {
    const ArchiveStats& s = line.stats;
    text += "archive " + Utf8Name(line.name) + ": ";
    if (line.how == "as-files" || line.how == "new-as-files") {
      text += line.how == "as-files" ? "shipped as files (its path holds '_')\n"
                                     : "new, shipped as files\n";
      continue;
    }
    text += line.how + ", " + Number(s.entries) + " entries: " + Number(s.same) + " same, " +
            Number(s.changed) + " changed, " + Number(s.added) + " new, " + Number(s.kept.size()) +
            " kept; " + Number(s.changedBytes) + " bytes changed";
    if (s.dflBytes > 0)
      text += " -> " + Utf8Name(line.dflName) + " (" + Number(s.dflBytes) + " bytes)";
    text += "\n";
  }
  for (const FileGroup& group : report.groups)
    text += "files " + GroupLabel(group) + ": " + Number(group.added) + " new, " +
            Number(group.changed) + " changed, " + Number(group.same) + " same, " +
            Number(group.kept) + " kept, " + Number(group.notShipped) + " not shipped; " +
            Number(group.bytes) + " bytes shipped\n";
  for (const Note& note : report.notes) {
    text += "not expressible: " + note.kind + " " + Utf8Name(note.name);
    if (!note.entry.empty())
      text += " : " + Utf8Name(note.entry);
    text += " (" + note.why + ")\n";
  }
  const Totals t = Sum(report);
  text += "step " + Number(report.fromVersion) + " -> " + Number(report.toVersion) + ": " +
          Number(t.patched) + " archives patched (" + Number(t.changedEntries) + " changed, " +
          Number(t.addedEntries) + " new entries, " + Number(t.changedBytes) + " bytes), " +
          Number(t.files) + " files shipped (" + Number(t.fileBytes) + " bytes), " +
          Number(report.cabinets.size()) + " cabinets (" + Number(t.cabinetBytes) + " bytes), " +
          Number(report.notes.size()) + " not expressible";
  if (!report.checked.empty())
    text += ", check " + report.checked;
  if (!report.folder.empty())
    text += ", in " + report.folder;
  return text + "\n";
}

std::string ReportJson(const StepReport& report)
{
  std::string json = "{\n  \"from\": " + Number(report.fromVersion) +
                     ",\n  \"to\": " + Number(report.toVersion) + ",\n  \"archives\": [";
  const char* separator = "\n    ";
  for (const ArchiveLine& line : report.archives) {
    const ArchiveStats& s = line.stats;
    json += separator;
    separator = ",\n    ";
    json += "{\"name\": " + Quoted(Utf8Name(line.name)) + ", \"how\": " + Quoted(line.how) +
            ", \"dfl\": " + Quoted(s.dflBytes > 0 ? Utf8Name(line.dflName) : "") +
            ", \"entries\": " + Number(s.entries) + ", \"same\": " + Number(s.same) +
            ", \"changed\": " + Number(s.changed) + ", \"new\": " + Number(s.added) +
            ", \"kept\": " + Number(s.kept.size()) +
            ", \"changedBytes\": " + Number(s.changedBytes) +
            ", \"dflBytes\": " + Number(s.dflBytes) + "}";
  }
  json += "\n  ],\n  \"files\": [";
  separator = "\n    ";
  for (const FileGroup& group : report.groups) {
    json += separator;
    separator = ",\n    ";
    json += "{\"folder\": " + Quoted(Utf8Name(group.name)) + ", \"new\": " + Number(group.added) +
            ", \"changed\": " + Number(group.changed) + ", \"same\": " + Number(group.same) +
            ", \"kept\": " + Number(group.kept) + ", \"notShipped\": " + Number(group.notShipped) +
            ", \"bytes\": " + Number(group.bytes) + "}";
  }
  json += "\n  ],\n  \"notExpressible\": [";
  separator = "\n    ";
  for (const Note& note : report.notes) {
    json += separator;
    separator = ",\n    ";
    json += "{\"kind\": " + Quoted(note.kind) + ", \"name\": " + Quoted(Utf8Name(note.name)) +
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
          ", \"notExpressible\": " + Number(report.notes.size()) +
          ", \"check\": " + Quoted(report.checked) + ", \"folder\": " + Quoted(report.folder) +
          "}\n}\n";
  return json;
}

}  // namespace orv::mkstep
