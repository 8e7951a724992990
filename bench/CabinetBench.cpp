// Extracting a cabinet through the launcher's cabinet walker against the
// cabextract tool on the same cabinet.
#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "platform/posix/CabinetMspack.h"
#include "support/CabinetMaker.h"

namespace orv::bench {
namespace {

// A cabinet of many files of half-compressible data, like a patch step's.
const std::filesystem::path& Cabinet()
{
  static test::TempDir folder;
  static const std::filesystem::path cabinet = [] {
    const std::uint64_t total = Scaled(256ull << 20);
    const std::size_t fileSize = 256 << 10;
    std::vector<test::CabinetFile> files;
    std::uint32_t seed = 1;
    for (std::uint64_t made = 0; made < total; made += fileSize) {
      std::string content(fileSize, '\0');
      for (std::size_t i = 0; i < fileSize; ++i) {
        seed = seed * 1103515245 + 12345;
        content[i] = static_cast<char>(i % 2 ? (seed >> 16) : 'a' + (i % 7));
      }
      files.push_back({"data\\part" + std::to_string(files.size()) + ".bin", std::move(content)});
    }
    const std::filesystem::path path = folder.path() / "step.cab";
    if (!test::MakeCabinet(path, files)) {
      std::fprintf(stderr, "cannot make the cabinet\n");
      std::exit(1);
    }
    return path;
  }();
  return cabinet;
}

void Cabextract(benchmark::State& state)
{
  for (auto _ : state) {
    test::TempDir out;
    const double seconds =
        TimeCommand({"cabextract", "-q", "-d", out.path().string(), Cabinet().string()});
    state.SetIterationTime(seconds);
    Measured().Add("cabextract", seconds);
  }
}

void LauncherCabinetWalker(benchmark::State& state)
{
  posix::CabinetMspack walker;
  for (auto _ : state) {
    test::TempDir out;
    std::filesystem::create_directories(out.path() / "data");
    const auto begin = std::chrono::steady_clock::now();
    const std::uint32_t error = walker.Iterate(
        Cabinet().c_str(), [&](const char* name, std::uint32_t, std::string& target) {
          target = out.path().string() + "\\" + name;
          return CabinetFileAction::Extract;
        });
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (error != 0) {
      state.SkipWithError("extraction failed");
      return;
    }
    state.SetIterationTime(seconds);
    Measured().Add("launcher", seconds);
  }
}

BENCHMARK(Cabextract)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(LauncherCabinetWalker)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace orv::bench

int main(int argc, char** argv)
{
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  using orv::bench::Measured;
  std::printf("ratio: cabinet walker time / cabextract time = %.2f (%s)\n",
              Measured().Median("launcher") / Measured().Median("cabextract"),
              std::to_string(std::filesystem::file_size(orv::bench::Cabinet()) >> 20).append(" MiB cabinet").c_str());
  return 0;
}
