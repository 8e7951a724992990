// Archive patching and rebuilding against the plainest way of writing as many
// bytes, measured in the same run; the ratios are printed at the end.
//
//   ArchiveBench [--archive-mb=N] [benchmark flags]
//
// --archive-mb (or ORV_BENCH_ARCHIVE_MB) sets the size of the rebuilt
// archive, 1024 MiB unless given.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "patcher/ArchivePatch.h"
#include "support/ArchiveMaker.h"

namespace orv::bench {

namespace fs = std::filesystem;
using test::ArchiveEntry;

constexpr int kApplyNames = 100000;
constexpr int kApplyEntries = 100000;
constexpr std::size_t kApplyEntrySize = 64;
constexpr std::size_t kRebuildEntrySize = 256 * 1024;
constexpr std::size_t kCopyBuffer = 1 << 20;

std::uint64_t g_archiveMiB = 1024;

BenchLauncher& TheWorld()
{
  static BenchLauncher world{Deployment{}};
  return world;
}

std::string EntryName(int i)
{
  char name[32];
  std::snprintf(name, sizeof name, "data\\entry%06d.bin", i);
  return name;
}

// --- 1. A .dfl of 100,000 small entries, half replacing, half new ---

struct ApplyInput {
  fs::path pristine;  // base of the archive before the patch
  std::string dflPath;
  std::vector<ArchiveEntry> patch;
};

const ApplyInput& TheApplyInput()
{
  static const ApplyInput input = [] {
    BenchLauncher& world = TheWorld();
    ApplyInput made;
    std::vector<ArchiveEntry> entries;
    for (int i = 0; i < kApplyNames; ++i)
      entries.push_back({EntryName(i), std::string(kApplyEntrySize, 'o')});
    made.pristine = world.start() / "pristine";
    test::WriteArchive(made.pristine, entries);
    for (int i = 0; i < kApplyEntries; ++i) {
      // Every other existing name, then as many new ones.
      const int name = i < kApplyEntries / 2 ? 2 * i : kApplyNames + i;
      made.patch.push_back({EntryName(name), std::string(kApplyEntrySize, 'n')});
    }
    fs::create_directories(world.start() / "_temp");
    const fs::path dfl = world.start() / "_temp" / "bench.dfl";
    test::WriteFile(dfl, test::MakeDfl(made.patch));
    made.dflPath = LauncherPath(dfl);
    return made;
  }();
  return input;
}

void ApplyDfl(benchmark::State& state)
{
  BenchLauncher& world = TheWorld();
  const ApplyInput& input = TheApplyInput();
  world.global().ReStruct = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fs::copy_file(fs::path(input.pristine) += ".hed", world.game() / "bench.hed",
                  fs::copy_options::overwrite_existing);
    fs::copy_file(fs::path(input.pristine) += ".dat", world.game() / "bench.dat",
                  fs::copy_options::overwrite_existing);
    state.ResumeTiming();
    if (!ApplyPatchFile(world.global(), input.dflPath))
      state.SkipWithError("the patch failed");
  }
}

void ApplyDflBaseline(benchmark::State& state)
{
  BenchLauncher& world = TheWorld();
  const ApplyInput& input = TheApplyInput();
  const std::string path = (world.start() / "baseline.bin").string();
  const std::uint8_t record[12] = {};
  for (auto _ : state) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    for (const ArchiveEntry& entry : input.patch) {
      std::fwrite(entry.bytes.data(), 1, entry.bytes.size(), out);
      std::fwrite(record, 1, sizeof record, out);
    }
    std::fclose(out);
  }
  std::remove(path.c_str());
}

// --- 2. Rebuilding a large archive of 256 KiB entries ---

struct RebuildInput {
  std::string datPath;
  fs::path dat;
};

// Written piece by piece: the archive need not fit in memory.
const RebuildInput& TheRebuildInput()
{
  static const RebuildInput input = [] {
    BenchLauncher& world = TheWorld();
    const std::uint64_t count = g_archiveMiB * (1 << 20) / kRebuildEntrySize;
    std::string table = test::Le32(static_cast<std::uint32_t>(count));
    for (std::uint64_t i = 0; i < count; ++i)
      table += EntryName(static_cast<int>(i)) + '\0';
    std::FILE* hed = std::fopen((world.game() / "large.hed").c_str(), "wb");
    std::FILE* dat = std::fopen((world.game() / "large.dat").c_str(), "wb");
    auto put = [&](const std::string& bytes, std::uint32_t offset) {
      const std::string record = test::Le32(offset) + test::Le32(bytes.size()) +
                                 test::Le32(bytes.size());
      std::fwrite(record.data(), 1, record.size(), hed);
      std::fwrite(bytes.data(), 1, bytes.size(), dat);
    };
    std::uint32_t offset = 0;
    put(table, offset);
    offset += table.size();
    std::string entry(kRebuildEntrySize, '\0');
    for (std::uint64_t i = 0; i < count; ++i) {
      std::memset(entry.data(), static_cast<int>('a' + i % 26), entry.size());
      put(entry, offset);
      offset += entry.size();
    }
    std::fclose(hed);
    std::fclose(dat);
    return RebuildInput{LauncherPath(world.game() / "large.dat"), world.game() / "large.dat"};
  }();
  return input;
}

// A rebuilt archive is its own rebuild's input: every run does the whole work.
void RebuildLargeArchive(benchmark::State& state)
{
  BenchLauncher& world = TheWorld();
  const RebuildInput& input = TheRebuildInput();
  for (auto _ : state) {
    if (RebuildArchive(world.global(), input.datPath) != RebuildOutcome::Rebuilt)
      state.SkipWithError("the rebuild failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fs::file_size(input.dat)));
}

// The copy takes the place of the original, as the rebuilt file does: both
// then hold the same pages of the file cache from run to run, which on a
// virtual machine weighs more than the copying itself.
void RebuildLargeArchiveBaseline(benchmark::State& state)
{
  const RebuildInput& input = TheRebuildInput();
  const fs::path copy = fs::path(input.dat).replace_extension(".copy");
  std::unique_ptr<char[]> buffer(new char[kCopyBuffer]);
  for (auto _ : state) {
    std::FILE* in = std::fopen(input.dat.c_str(), "rb");
    std::FILE* out = std::fopen(copy.c_str(), "wb");
    for (std::size_t got; (got = std::fread(buffer.get(), 1, kCopyBuffer, in)) > 0;)
      std::fwrite(buffer.get(), 1, got, out);
    std::fclose(in);
    std::fclose(out);
    // Removed first: renaming over a file makes ext4 write the new one out
    // at once, which the rebuild (that renames onto free names) never waits for.
    fs::remove(input.dat);
    fs::rename(copy, input.dat);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fs::file_size(input.dat)));
}

// Repeated: the first repetition also pays for the machine warming up (on a
// virtual machine, pages of the file cache touched for the first time).
BENCHMARK(ApplyDflBaseline)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10)->Repetitions(3);
BENCHMARK(ApplyDfl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10)->Repetitions(3);
BENCHMARK(RebuildLargeArchiveBaseline)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Repetitions(3);
BENCHMARK(RebuildLargeArchive)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Repetitions(3);

}  // namespace orv::bench

int main(int argc, char** argv)
{
  using namespace orv::bench;
  if (const char* mib = std::getenv("ORV_BENCH_ARCHIVE_MB"))
    g_archiveMiB = std::strtoull(mib, nullptr, 10);
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--archive-mb=", 13) == 0)
      g_archiveMiB = std::strtoull(argv[i] + 13, nullptr, 10);
    else
      args.push_back(argv[i]);
  }
  if (g_archiveMiB == 0)
    g_archiveMiB = 1;
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  PrintRatio(reporter, "apply a .dfl of 100000 entries of 64 bytes into 100000 names", "ApplyDfl",
             "ApplyDflBaseline");
  char what[128];
  std::snprintf(what, sizeof what, "rebuild an archive of %llu MiB (entries of 256 KiB)",
                static_cast<unsigned long long>(g_archiveMiB));
  PrintRatio(reporter, what, "RebuildLargeArchive", "RebuildLargeArchiveBaseline");
  benchmark::Shutdown();
  return 0;
}
