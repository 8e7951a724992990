// A step's manifest comes from the patch server before its signature is
// known to be good: whatever its bytes, reading it must end in a manifest or
// a refusal, never read outside the input. What is accepted must be the one
// text that writing the manifest again gives, so two different texts can
// never read as the same signed manifest.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "patcher/StepManifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  orv::StepManifest manifest;
  std::string problem;
  if (orv::ParseStepManifest(text, manifest, problem) &&
      orv::FormatStepManifest(manifest) != text)
    std::abort();
  return 0;
}
