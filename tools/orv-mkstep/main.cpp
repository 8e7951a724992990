// orv-mkstep: the step from one game version to the next, for the patch
// server.
//
//   orv-mkstep OLD_GAME NEW_GAME PATCH_ROOT [--check] [--allow-incomplete]
//              [--cab-size MiB] [--json] [--sign KEY.pem]
//   orv-mkstep --sign-existing PATCH_ROOT N KEY.pem
//
// OLD_GAME's orv.ver holds N and NEW_GAME's N+1. The step is made under a
// temporary name in PATCH_ROOT, refused when it would not make NEW_GAME
// exactly, checked when asked, and then renamed to D%08d of N+1; only then
// is PATCH_ROOT/orv/orvnew.ver moved on to N+1, so a server never offers a
// step that is not whole. With --sign the step's manifest and its signature
// are written into it before it is published, so they go live together;
// --sign-existing signs a step published before. The exit statuses are in
// UsageText (Run.cpp).
#include <cstdio>

#include "MkStep.h"

namespace {

using namespace orv::mkstep;

// One line per archive while it is compared, redrawn in place.
void ShowProgress(const std::string& archive, std::uint64_t done, std::uint64_t total)
{
  std::fprintf(stderr, "\r  %s: %llu/%llu entries", archive.c_str(),
               static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
  if (done == total)
    std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv)
{
  KeepFreedMemory();
  Arguments arguments;
  std::string why;
  if (!ParseArguments(ProgramArguments(argc, argv), arguments, why)) {
    std::fprintf(stderr, "orv-mkstep: %s\n%s", why.c_str(), UsageText().c_str());
    return kExitUsage;
  }
  if (arguments.help) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitPublished;
  }
  if (IsTerminal(stderr))
    arguments.options.progress = ShowProgress;
  RunOutput output;
  const int status = RunMkStep(arguments, output);
  std::fputs(output.report.c_str(), stdout);
  for (const std::string& message : output.messages)
    std::fprintf(stderr, "orv-mkstep: %s\n", message.c_str());
  return status;
}
