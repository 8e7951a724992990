// orv-mkstep: the step from one game version to the next, for the patch
// server.
//
//   orv-mkstep OLD_GAME NEW_GAME PATCH_ROOT [--check] [--cab-size MiB] [--json]
//              [--sign KEY.pem]
//   orv-mkstep --sign-existing PATCH_ROOT N KEY.pem
//
// OLD_GAME's orv.ver holds N and NEW_GAME's N+1. The step is made under a
// temporary name in PATCH_ROOT, checked when asked, and then renamed to
// D%08d of N+1; only then is PATCH_ROOT/orv/orvnew.ver moved on to N+1, so a
// server never offers a step that is not whole. With --sign the step's
// manifest and its signature are written into it before it is published, so
// they go live together; --sign-existing signs a step published before.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "MkStep.h"
#include "Signer.h"
#include "patcher/VersionCheck.h"
#include "patchkit/Files.h"
#include "patchkit/PatchStep.h"

namespace {

using namespace orv::mkstep;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr std::uint64_t kLargestCabinetMiB = 1024;

struct Arguments {
  fs::path oldGame, newGame, patchRoot;
  bool check = false;
  bool json = false;
  std::uint64_t cabinetMiB = 100;
  fs::path key;
  // --sign-existing: the step of this version in patchRoot is signed.
  std::int32_t signExisting = 0;
};

int Usage(const std::string& why)
{
  std::fprintf(stderr,
               "orv-mkstep: %s\n"
               "usage: orv-mkstep OLD_GAME NEW_GAME PATCH_ROOT [--check] [--cab-size MiB] "
               "[--json] [--sign KEY.pem]\n"
               "       orv-mkstep --sign-existing PATCH_ROOT N KEY.pem\n",
               why.c_str());
  return kExitUsage;
}

bool Parse(const std::vector<fs::path>& arguments, Arguments& parsed, std::string& why)
{
  std::vector<fs::path> positional;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string argument = Utf8Path(arguments[i]);
    if (argument == "--check") {
      parsed.check = true;
    } else if (argument == "--json") {
      parsed.json = true;
    } else if (argument == "--cab-size") {
      const std::string value = i + 1 < arguments.size() ? Utf8Path(arguments[++i]) : "";
      char* end = nullptr;
      const unsigned long long mib = std::strtoull(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || mib < 1 || mib > kLargestCabinetMiB) {
        why = "--cab-size takes a number of MiB from 1 to " + std::to_string(kLargestCabinetMiB);
        return false;
      }
      parsed.cabinetMiB = mib;
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

// The version PATCH_ROOT offers now; 0 when it offers none yet.
bool ServedVersion(const fs::path& root, std::int32_t& served, std::string& error)
{
  served = 0;
  const fs::path file = root / "orv" / "orvnew.ver";
  std::error_code failure;
  if (!fs::exists(file, failure))
    return true;
  std::string text;
  if (!orv::patchkit::ReadWholeFile(file, text, error))
    return false;
  if (!orv::ParseVersion(text.data(), text.size(), served)) {
    error = Utf8Path(file) + " holds no version number";
    return false;
  }
  return true;
}

// Every file and the folder itself on the disk before the rename that
// publishes them.
bool FlushFolder(const fs::path& folder)
{
  std::error_code failure;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder, failure))
    if (entry.is_regular_file() && !FlushToDisk(entry.path()))
      return false;
  return !failure && FlushToDisk(folder);
}

bool Publish(const fs::path& staging, const fs::path& root, int version, std::string& error)
{
  const fs::path final = orv::patchkit::StepFolder(root, version);
  const fs::path previous = root / ("." + final.filename().string() + ".old");
  std::error_code failure;
  if (!FlushFolder(staging)) {
    error = "cannot write " + Utf8Path(staging) + " to the disk";
    return false;
  }
  // A step folder that orvnew.ver does not offer yet was never served whole.
  fs::remove_all(previous, failure);
  if (fs::exists(final, failure))
    fs::rename(final, previous, failure);
  if (!failure)
    fs::rename(staging, final, failure);
  if (failure) {
    error = "cannot move the step into place as " + Utf8Path(final) + ": " + failure.message();
    return false;
  }
  fs::remove_all(previous, failure);
  FlushToDisk(root);

  const fs::path folder = root / "orv";
  const fs::path next = folder / "orvnew.ver.partial";
  fs::create_directories(folder, failure);
  if (!orv::patchkit::WriteWholeFile(next, std::to_string(version) + "\r\n", error))
    return false;
  if (!FlushToDisk(next)) {
    error = "cannot write " + Utf8Path(next) + " to the disk";
    return false;
  }
  fs::rename(next, folder / "orvnew.ver", failure);
  if (failure) {
    error = "cannot move " + Utf8Path(next) + " into place: " + failure.message();
    return false;
  }
  FlushToDisk(folder);
  return true;
}

// One line per archive while it is compared, redrawn in place.
void ShowProgress(const std::string& archive, std::uint64_t done, std::uint64_t total)
{
  std::fprintf(stderr, "\r  %s: %llu/%llu entries", archive.c_str(),
               static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
  if (done == total)
    std::fputc('\n', stderr);
  std::fflush(stderr);
}

bool ReadKey(const fs::path& path, std::string& key, std::string& error)
{
  if (!orv::patchkit::ReadWholeFile(path, key, error))
    return false;
  if (key.find("PRIVATE KEY-----") == std::string::npos) {
    error = Utf8Path(path) + " holds no private key in PEM";
    return false;
  }
  std::string publicKey;
  return orv::mkstep::PublicKeyPemOf(key, publicKey, error);
}

int SignExisting(const Arguments& arguments)
{
  std::string key, error;
  if (!ReadKey(arguments.key, key, error))
    return Usage(error);
  const fs::path folder = orv::patchkit::StepFolder(arguments.patchRoot, arguments.signExisting);
  std::error_code failure;
  if (!fs::is_directory(folder, failure))
    return Usage(Utf8Path(folder) + " is not a step folder");
  if (!SignStepFolder(folder, arguments.signExisting - 1, arguments.signExisting, key, error)) {
    std::fprintf(stderr, "orv-mkstep: %s\n", error.c_str());
    return kExitFailed;
  }
  std::printf("signed %s\n", Utf8Path(folder).c_str());
  return 0;
}

int Run(const Arguments& arguments)
{
  if (arguments.signExisting != 0)
    return SignExisting(arguments);
  std::string error;
  std::string key;
  // A key that cannot sign is found before the step is made.
  if (!arguments.key.empty() && !ReadKey(arguments.key, key, error))
    return Usage(error);
  std::int32_t oldVersion = 0, newVersion = 0, served = 0;
  if (!ReadGameVersion(arguments.oldGame, oldVersion, error) ||
      !ReadGameVersion(arguments.newGame, newVersion, error))
    return Usage(error);
  if (newVersion != oldVersion + 1)
    return Usage("OLD_GAME is at version " + std::to_string(oldVersion) + " and NEW_GAME at " +
                 std::to_string(newVersion) + ": a step goes from N to N+1");
  std::error_code failure;
  fs::create_directories(arguments.patchRoot, failure);
  if (failure)
    return Usage("cannot create " + Utf8Path(arguments.patchRoot) + ": " + failure.message());
  if (!ServedVersion(arguments.patchRoot, served, error))
    return Usage(error);
  if (served >= newVersion)
    return Usage("PATCH_ROOT already offers version " + std::to_string(served) +
                 ": a step players may have applied is not made again");
  if (served != 0 && served != oldVersion)
    return Usage("PATCH_ROOT offers version " + std::to_string(served) + ": make the steps up to " +
                 std::to_string(oldVersion) + " first");

  Packing packing;
  if (!LoadPacking(packing, error)) {
    std::fprintf(stderr, "orv-mkstep: %s\n", error.c_str());
    return kExitFailed;
  }
  const fs::path staging =
      arguments.patchRoot /
      ("." + orv::patchkit::StepFolder(arguments.patchRoot, newVersion).filename().string() +
       ".partial");
  fs::remove_all(staging, failure);
  fs::create_directories(staging, failure);
  if (failure) {
    std::fprintf(stderr, "orv-mkstep: cannot create %s: %s\n", Utf8Path(staging).c_str(),
                 failure.message().c_str());
    return kExitFailed;
  }
  auto fail = [&](const std::string& why) {
    std::fprintf(stderr, "orv-mkstep: %s\n", why.c_str());
    std::error_code ignored;
    fs::remove_all(staging, ignored);
    return kExitFailed;
  };

  StepOptions options;
  options.cabinetLimit = arguments.cabinetMiB << 20;
  if (IsTerminal(stderr))
    options.progress = ShowProgress;
  StepReport report;
  if (!MakeStep(arguments.oldGame, arguments.newGame, staging, newVersion, packing, options, report,
                error))
    return fail(error);

  if (arguments.check) {
    std::vector<std::string> problems;
    for (const bool reStruct : {false, true}) {
      std::vector<std::string> found;
      if (!CheckStep(arguments.oldGame, arguments.newGame, staging, newVersion, reStruct, report,
                     found, error))
        return fail("the check could not run: " + error);
      for (const std::string& problem : found)
        problems.push_back(std::string(reStruct ? "with ReStruct=1: " : "") + problem);
    }
    report.checked = problems.empty() ? "passed" : "failed";
    if (!problems.empty()) {
      std::fputs((arguments.json ? ReportJson(report) : ReportText(report)).c_str(), stdout);
      for (const std::string& problem : problems)
        std::fprintf(stderr, "check: %s\n", problem.c_str());
      return fail("the step does not make NEW_GAME from OLD_GAME; nothing was published");
    }
  }
  if (!key.empty() && !SignStepFolder(staging, oldVersion, newVersion, key, error))
    return fail("cannot sign the step: " + error);
  if (!Publish(staging, arguments.patchRoot, newVersion, error))
    return fail(error);
  report.folder = Utf8Path(orv::patchkit::StepFolder(arguments.patchRoot, newVersion));
  std::fputs((arguments.json ? ReportJson(report) : ReportText(report)).c_str(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv)
{
  KeepFreedMemory();
  Arguments arguments;
  std::string why;
  if (!Parse(ProgramArguments(argc, argv), arguments, why))
    return Usage(why);
  return Run(arguments);
}
