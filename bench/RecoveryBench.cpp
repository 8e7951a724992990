// What the start-up recovery costs on a game folder of 50,000 files in 500
// folders: without the marker of an interrupted update (every start), and
// with it (the walk of the folder), against listing the same folder with
// the standard library, measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "BenchSupport.h"
#include "patcher/Recovery.h"

namespace orv::bench {

namespace fs = std::filesystem;

constexpr int kFolders = 500;
constexpr int kFilesPerFolder = 100;

BenchLauncher& TheWorld()
{
  static BenchLauncher world{Deployment{}};
  static const bool filled = [] {
    for (int folder = 0; folder < kFolders; ++folder) {
      const fs::path path = world.game() / ("data" + std::to_string(folder));
      fs::create_directories(path);
      for (int file = 0; file < kFilesPerFolder; ++file)
        test::WriteFile(path / ("file" + std::to_string(file) + ".bin"), "x");
    }
    return true;
  }();
  (void)filled;
  return world;
}

void SetMarker(bool present)
{
  const fs::path marker = TheWorld().game() / "OLUpdate.pending";
  if (present)
    test::WriteFile(marker, "42\r\n");
  else
    fs::remove(marker);
}

void ListGameFolderBaseline(benchmark::State& state)
{
  for (auto _ : state) {
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(TheWorld().game()))
      files += entry.is_regular_file();
    benchmark::DoNotOptimize(files);
  }
}

void RecoverWithoutMarker(benchmark::State& state)
{
  SetMarker(false);
  for (auto _ : state)
    RecoverGameFolder(TheWorld().global());
}

void RecoverWithMarker(benchmark::State& state)
{
  for (auto _ : state) {
    state.PauseTiming();
    SetMarker(true);
    state.ResumeTiming();
    RecoverGameFolder(TheWorld().global());
  }
}

BENCHMARK(ListGameFolderBaseline)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5)->Repetitions(3);
BENCHMARK(RecoverWithMarker)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5)->Repetitions(3);
BENCHMARK(RecoverWithoutMarker)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1000)->Repetitions(3);

}  // namespace orv::bench

int main(int argc, char** argv)
{
  using namespace orv::bench;
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  PrintRatio(reporter, "start-up recovery after an interrupted update, 50000 files",
             "RecoverWithMarker", "ListGameFolderBaseline");
  PrintRatio(reporter, "start-up recovery with no interrupted update, 50000 files",
             "RecoverWithoutMarker", "ListGameFolderBaseline");
  benchmark::Shutdown();
  return 0;
}
