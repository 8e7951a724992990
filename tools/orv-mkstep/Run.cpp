// One run of orv-mkstep: the arguments read, the step made, refused or
// checked, and published.
//
// Publishing holds a lock on the patch root from the moment the served
// version is read to the moment orvnew.ver names the new step, so that two
// runs never write one step; the step is made in a staging folder of its
// own and goes live by two renames, each after its data is on the disk.
#include <cstdlib>
#include <random>

#include "MkStep.h"
#include "Signer.h"
#include "patcher/VersionCheck.h"
#include "patchkit/Files.h"
#include "patchkit/PatchStep.h"

namespace orv::mkstep {

namespace {

constexpr std::uint64_t kLargestCabinetMiB = 1024;
constexpr const char* kLockName = ".orv-mkstep.lock";
constexpr const char* kStagingMark = ".partial-";
constexpr const char* kPreviousMark = ".old-";

// Messages of a run that ends with `status`.
int Fail(RunOutput& output, int status, const std::string& why)
{
  output.messages.push_back(why);
  return status;
}

// The version PATCH_ROOT offers now; 0 when it offers none yet. A patch
// root that cannot be read is an error, never "nothing served": that would
// make a step players have applied once more.
bool ServedVersion(const fs::path& root, std::int32_t& served, std::string& error)
{
  served = 0;
  const fs::path file = root / "orv" / "orvnew.ver";
  std::error_code failure;
  const fs::file_status status = fs::status(file, failure);
  if (status.type() == fs::file_type::not_found)
    return true;
  if (failure) {
    error = "cannot read " + Utf8Path(file) + ": " + failure.message();
    return false;
  }
  std::string text;
  if (!patchkit::ReadWholeFile(file, text, error))
    return false;
  if (!ParseVersion(text.data(), text.size(), served)) {
    error = Utf8Path(file) + " holds no version number";
    return false;
  }
  return true;
}

// A name no other run uses: the runs' staging and previous folders.
std::string UniqueSuffix()
{
  std::random_device random;
  return std::to_string(random()) + std::to_string(random());
}

// Removes what runs that were killed left in the patch root; only called
// under the lock, when no other run can be writing there.
void RemoveLeftovers(const fs::path& root)
{
  std::error_code failure;
  for (const fs::directory_entry& entry : fs::directory_iterator(root, failure)) {
    const std::string name = Utf8Path(entry.path().filename());
    if (name.size() > 10 && name.compare(0, 2, ".D") == 0 &&
        (name.find(kStagingMark) == 10 || name.find(kPreviousMark) == 10)) {
      std::error_code ignored;
      fs::remove_all(entry.path(), ignored);
    }
  }
}

bool FlushTree(const fs::path& folder, std::string& error)
{
  std::error_code failure;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder, failure)) {
    if (entry.is_regular_file() && !FlushToDisk(entry.path())) {
      error = "cannot write " + Utf8Path(entry.path()) + " to the disk";
      return false;
    }
  }
  if (failure || !FlushToDisk(folder)) {
    error = "cannot write " + Utf8Path(folder) + " to the disk";
    return false;
  }
  return true;
}

bool Flushed(const fs::path& path, std::string& error)
{
  if (FlushToDisk(path))
    return true;
  error = "cannot write " + Utf8Path(path) + " to the disk";
  return false;
}

bool Renamed(const fs::path& from, const fs::path& to, std::string& error)
{
  std::error_code failure;
  fs::rename(from, to, failure);
  if (!failure)
    return true;
  error = "cannot move " + Utf8Path(from) + " to " + Utf8Path(to) + ": " + failure.message();
  return false;
}

// The one publishing sequence: the step's files on the disk, the step under
// its name and the patch root on the disk, then orvnew.ver written beside,
// on the disk, moved into place and its folder on the disk. A server never
// offers a step whose files are not all there.
bool Publish(const fs::path& staging, const fs::path& root, int version, std::string& error)
{
  const fs::path final = patchkit::StepFolder(root, version);
  const fs::path previous =
      root / ("." + final.filename().string() + kPreviousMark + UniqueSuffix());
  if (!FlushTree(staging, error))
    return false;
  // A step folder that orvnew.ver does not offer yet was never served whole.
  std::error_code failure;
  if (fs::exists(final, failure) && !Renamed(final, previous, error))
    return false;
  if (!Renamed(staging, final, error))
    return false;
  fs::remove_all(previous, failure);
  if (!Flushed(root, error))
    return false;

  const fs::path folder = root / "orv";
  const fs::path next = folder / "orvnew.ver.partial";
  fs::create_directories(folder, failure);
  if (failure) {
    error = "cannot create " + Utf8Path(folder) + ": " + failure.message();
    return false;
  }
  return patchkit::WriteWholeFile(next, std::to_string(version) + "\r\n", error) &&
         Flushed(next, error) && Renamed(next, folder / "orvnew.ver", error) &&
         Flushed(folder, error);
}

bool ReadKey(const fs::path& path, std::string& key, std::string& error)
{
  if (!patchkit::ReadWholeFile(path, key, error))
    return false;
  if (key.find("PRIVATE KEY-----") == std::string::npos) {
    error = Utf8Path(path) + " holds no private key in PEM";
    return false;
  }
  std::string publicKey;
  return PublicKeyPemOf(key, publicKey, error);
}

int SignExisting(const Arguments& arguments, RunOutput& output)
{
  std::string key, error;
  if (!ReadKey(arguments.key, key, error))
    return Fail(output, kExitUsage, error);
  const fs::path folder = patchkit::StepFolder(arguments.patchRoot, arguments.signExisting);
  std::error_code failure;
  if (!fs::is_directory(folder, failure))
    return Fail(output, kExitUsage, Utf8Path(folder) + " is not a step folder");
  if (!SignStepFolder(folder, arguments.signExisting - 1, arguments.signExisting, key, error))
    return Fail(output, kExitFailed, error);
  output.report = "signed " + Utf8Path(folder) + "\n";
  return kExitPublished;
}

// Lists each note of the weight as a message.
void ListNotes(const StepReport& report, NoteWeight weight, RunOutput& output)
{
  for (const Note& note : report.notes) {
    if (WeightOf(note.kind) != weight)
      continue;
    std::string line = std::string(KindName(note.kind)) + ": " + note.name;
    if (!note.entry.empty())
      line += " : " + Utf8Name(note.entry);
    output.messages.push_back(line + " (" + note.why + ")");
  }
}

// Makes the step in the staging folder and publishes it; the lock is held.
int MakeAndPublish(const Arguments& arguments, const std::string& key, std::int32_t oldVersion,
                   std::int32_t newVersion, const fs::path& staging, RunOutput& output)
{
  std::string error;
  Packing packing;
  if (!LoadPacking(packing, error))
    return Fail(output, kExitFailed, error);
  StepOptions options = arguments.options;
  StepReport report;
  if (!MakeStep(arguments.oldGame, arguments.newGame, staging, newVersion, packing, options, report,
                error))
    return Fail(output, kExitFailed, error);
  const auto text = [&] { return arguments.json ? ReportJson(report) : ReportText(report); };
  if (report.Has(NoteWeight::Error)) {
    output.report = text();
    ListNotes(report, NoteWeight::Error, output);
    return Fail(output, kExitRefused,
                "NEW_GAME holds what no step can carry; nothing was published");
  }
  if (report.Has(NoteWeight::Gap) && !arguments.allowIncomplete) {
    output.report = text();
    ListNotes(report, NoteWeight::Gap, output);
    return Fail(output, kExitIncomplete,
                "the step would not make NEW_GAME exactly; nothing was published "
                "(--allow-incomplete publishes it with these gaps)");
  }
  if (arguments.check) {
    std::vector<std::string> problems;
    for (const bool reStruct : {false, true}) {
      std::vector<std::string> found;
      if (!CheckStep(arguments.oldGame, arguments.newGame, staging, newVersion, reStruct, report,
                     found, error))
        return Fail(output, kExitFailed, "the check could not run: " + error);
      for (const std::string& problem : found)
        problems.push_back("check" + std::string(reStruct ? " with ReStruct=1" : "") + ": " +
                           problem);
    }
    report.checked = problems.empty() ? "passed" : "failed";
    if (!problems.empty()) {
      output.report = text();
      output.messages.insert(output.messages.end(), problems.begin(), problems.end());
      return Fail(output, kExitCheckFailed,
                  "the step does not make NEW_GAME from OLD_GAME; nothing was published");
    }
  }
  if (!key.empty() && !SignStepFolder(staging, oldVersion, newVersion, key, error))
    return Fail(output, kExitFailed, "cannot sign the step: " + error);
  if (!Publish(staging, arguments.patchRoot, newVersion, error))
    return Fail(output, kExitFailed, error);
  report.folder = Utf8Path(patchkit::StepFolder(arguments.patchRoot, newVersion));
  output.report = text();
  ListNotes(report, NoteWeight::Gap, output);
  return kExitPublished;
}

}  // namespace

std::string UsageText()
{
  return "usage: orv-mkstep OLD_GAME NEW_GAME PATCH_ROOT [--check] [--allow-incomplete]\n"
         "                  [--cab-size MiB] [--json] [--sign KEY.pem]\n"
         "       orv-mkstep --sign-existing PATCH_ROOT N KEY.pem\n"
         "exit status:\n"
         "  0  the step is published (and checked with --check)\n"
         "  1  something could not be read or written; nothing was published\n"
         "  2  the arguments or the game versions do not fit\n"
         "  3  NEW_GAME holds what no step can carry (each listed); nothing was published\n"
         "  4  the step would not make NEW_GAME exactly (each gap listed); nothing was\n"
         "     published; --allow-incomplete publishes it with these gaps\n"
         "  5  --check: the launcher did not make NEW_GAME from OLD_GAME; nothing was published\n"
         "  6  another orv-mkstep is publishing to PATCH_ROOT; nothing was published\n";
}

bool ParseArguments(const std::vector<fs::path>& arguments, Arguments& parsed, std::string& why)
{
  std::vector<fs::path> positional;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string argument = Utf8Path(arguments[i]);
    if (argument == "--help" || argument == "-h") {
      parsed.help = true;
      return true;
    } else if (argument == "--check") {
      parsed.check = true;
    } else if (argument == "--json") {
      parsed.json = true;
    } else if (argument == "--allow-incomplete") {
      parsed.allowIncomplete = true;
    } else if (argument == "--cab-size") {
      const std::string value = i + 1 < arguments.size() ? Utf8Path(arguments[++i]) : "";
      char* end = nullptr;
      const unsigned long long mib = std::strtoull(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || mib < 1 || mib > kLargestCabinetMiB) {
        why = "--cab-size takes a number of MiB from 1 to " + std::to_string(kLargestCabinetMiB);
        return false;
      }
      parsed.options.cabinetLimit = mib << 20;
    } else if (argument == "--sign") {
      if (i + 1 >= arguments.size()) {
        why = "--sign takes the private key's PEM file";
        return false;
      }
      parsed.key = arguments[++i];
    } else if (argument == "--sign-existing") {
      if (arguments.size() != 4 || i != 0) {
        why = "--sign-existing takes PATCH_ROOT, the step's version and the private key";
        return false;
      }
      const std::string value = Utf8Path(arguments[2]);
      char* end = nullptr;
      const long version = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || version < 1 || version > 99999999) {
        why = "the step's version must be a number from 1 to 99999999";
        return false;
      }
      parsed.patchRoot = arguments[1];
      parsed.signExisting = static_cast<std::int32_t>(version);
      parsed.key = arguments[3];
      return true;
    } else if (argument.size() > 1 && argument[0] == '-') {
      why = "unknown option " + argument;
      return false;
    } else {
      positional.push_back(arguments[i]);
    }
  }
  if (positional.size() != 3) {
    why = "three folders are needed";
    return false;
  }
  parsed.oldGame = positional[0];
  parsed.newGame = positional[1];
  parsed.patchRoot = positional[2];
  return true;
}

int RunMkStep(const Arguments& arguments, RunOutput& output)
{
  if (arguments.signExisting != 0)
    return SignExisting(arguments, output);
  std::string error;
  std::string key;
  // A key that cannot sign is found before the step is made.
  if (!arguments.key.empty() && !ReadKey(arguments.key, key, error))
    return Fail(output, kExitUsage, error);
  std::int32_t oldVersion = 0, newVersion = 0, served = 0;
  if (!ReadGameVersion(arguments.oldGame, oldVersion, error) ||
      !ReadGameVersion(arguments.newGame, newVersion, error))
    return Fail(output, kExitUsage, error);
  if (newVersion != oldVersion + 1)
    return Fail(output, kExitUsage,
                "OLD_GAME is at version " + std::to_string(oldVersion) + " and NEW_GAME at " +
                    std::to_string(newVersion) + ": a step goes from N to N+1");
  const fs::path& root = arguments.patchRoot;
  std::error_code failure;
  fs::create_directories(root, failure);
  if (failure)
    return Fail(output, kExitFailed, "cannot create " + Utf8Path(root) + ": " + failure.message());

  FileLock lock;
  bool busy = false;
  if (!lock.TryLock(root / kLockName, busy, error))
    return busy ? Fail(output, kExitBusy,
                       "another orv-mkstep is publishing to " + Utf8Path(root) +
                           "; nothing was published")
                : Fail(output, kExitFailed, error);
  // Read under the lock: a run that published meanwhile has moved it on.
  if (!ServedVersion(root, served, error))
    return Fail(output, kExitFailed, error);
  if (served >= newVersion)
    return Fail(output, kExitUsage,
                "PATCH_ROOT already offers version " + std::to_string(served) +
                    ": a step players may have applied is not made again");
  if (served != 0 && served != oldVersion)
    return Fail(output, kExitUsage,
                "PATCH_ROOT offers version " + std::to_string(served) + ": make the steps up to " +
                    std::to_string(oldVersion) + " first");
  RemoveLeftovers(root);

  const fs::path staging =
      root / ("." + patchkit::StepFolder(root, newVersion).filename().string() + kStagingMark +
              UniqueSuffix());
  if (!fs::create_directory(staging, failure) || failure)
    return Fail(
        output, kExitFailed,
        "cannot create " + Utf8Path(staging) + ": " + (failure ? failure.message() : "it exists"));
  const int status = MakeAndPublish(arguments, key, oldVersion, newVersion, staging, output);
  fs::remove_all(staging, failure);
  return status;
}

}  // namespace orv::mkstep
