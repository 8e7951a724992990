// Making a step with orv-mkstep from two game versions, against reading both
// folders once plus packing the changed bytes with `gzip -1`, measured in the
// same run on the same folders; and the tool's peak resident memory.
//
// The game: ORV_MKSTEP_ENTRIES entries (20000) holding ORV_MKSTEP_BYTES bytes
// (2 GiB) in archives of 1000 entries, every 20th entry changed in the new
// version. ORV_BENCH_SCALE=small divides the bytes by 8.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "patcher/ArchiveFormat.h"
#include "support/PluginFolder.h"

namespace orv::bench {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kEntriesPerArchive = 1000;
constexpr std::size_t kChangedEvery = 20;

std::uint64_t Setting(const char* name, std::uint64_t fallback)
{
  const char* value = std::getenv(name);
  return value && *value ? std::strtoull(value, nullptr, 10) : fallback;
}

// Half random, half repetitive bytes, as game data is.
void Fill(std::string& bytes, std::uint32_t seed)
{
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    seed = seed * 1103515245 + 12345;
    bytes[i] = static_cast<char>(i % 2 ? (seed >> 16) : 'a' + (i % 7));
  }
}

// One archive pair written entry by entry: the name table, then the entries.
void WriteArchive(const fs::path& base, std::size_t first, std::size_t count, std::size_t size,
                  bool changed, std::ofstream* changedBytes)
{
  std::string table(4, '\0');
  archive::WriteLe32(reinterpret_cast<std::uint8_t*>(table.data()),
                     static_cast<std::uint32_t>(count));
  for (std::size_t i = 0; i < count; ++i)
    table += "entry" + std::to_string(first + i) + ".bin" + '\0';
  std::ofstream dat(base.string() + ".dat", std::ios::binary);
  std::ofstream hed(base.string() + ".hed", std::ios::binary);
  std::uint8_t record[archive::kRecordSize];
  std::uint32_t offset = 0;
  auto add = [&](const std::string& bytes) {
    const auto length = static_cast<std::uint32_t>(bytes.size());
    archive::EncodeRecord({offset, length, length}, record);
    hed.write(reinterpret_cast<const char*>(record), sizeof record);
    dat.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    offset += length;
  };
  add(table);
  std::string entry(size, '\0');
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t index = first + i;
    const bool differs = changed && index % kChangedEvery == 0;
    Fill(entry, static_cast<std::uint32_t>(index * 2 + (differs ? 1 : 0)));
    add(entry);
    if (differs && changedBytes)
      changedBytes->write(entry.data(), static_cast<std::streamsize>(entry.size()));
  }
}

// The two versions, in a temporary folder, or kept in ORV_MKSTEP_WORLD to be
// measured again without making them anew.
struct World {
  test::TempDir scratch;
  fs::path folder =
      std::getenv("ORV_MKSTEP_WORLD") ? fs::path(std::getenv("ORV_MKSTEP_WORLD")) : scratch.path();
  fs::path oldGame = folder / "old";
  fs::path newGame = folder / "new";
  fs::path changed = folder / "changed.bin";
  std::uint64_t entries = Setting("ORV_MKSTEP_ENTRIES", 20000);
  std::uint64_t bytes = Scaled(Setting("ORV_MKSTEP_BYTES", 2ull << 30));

  World()
  {
    if (fs::exists(changed))
      return;
    fs::create_directories(folder);
    const std::size_t entrySize = static_cast<std::size_t>(bytes / entries);
    std::ofstream changedBytes(changed, std::ios::binary);
    for (const fs::path& game : {oldGame, newGame}) {
      fs::create_directories(game / "data");
      test::WriteFile(game / "orv.ver", game == oldGame ? "41\r\n" : "42\r\n");
      for (std::size_t first = 0; first < entries; first += kEntriesPerArchive)
        WriteArchive(game / "data" / ("pack" + std::to_string(first / kEntriesPerArchive)), first,
                     std::min<std::size_t>(kEntriesPerArchive, entries - first), entrySize,
                     game == newGame, game == newGame ? &changedBytes : nullptr);
    }
  }
};

// The processor seconds of a finished child and its children.
double CpuSeconds(const rusage& usage)
{
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs a command with its output dropped; the seconds it took, and its peak
// resident memory and processor seconds (this machine is shared, so the
// processor time wanders less than the elapsed time).
double Run(const std::vector<std::string>& arguments, std::uint64_t& peakBytes, double& cpu)
{
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const std::string& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const auto begin = std::chrono::steady_clock::now();
  pid_t child = 0;
  int status = 0;
  rusage usage{};
  const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed\n", argv[0]);
    std::exit(1);
  }
  peakBytes = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
  // wait4 counts the command's own time; a shell's children are in
  // RUSAGE_CHILDREN of ours, which grows by what they took.
  rusage children{};
  getrusage(RUSAGE_CHILDREN, &children);
  static double counted = 0;
  const double total = CpuSeconds(children);
  cpu = total - counted;
  counted = total;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

}  // namespace
}  // namespace orv::bench

int main()
{
  using namespace orv::bench;
  const int rounds = static_cast<int>(Setting("ORV_MKSTEP_ROUNDS", 3));
  World world;
  std::printf("made: %llu entries, %llu MiB per version, %llu MiB changed\n",
              static_cast<unsigned long long>(world.entries),
              static_cast<unsigned long long>(world.bytes >> 20),
              static_cast<unsigned long long>(fs::file_size(world.changed) >> 20));
  const std::string tool = (orv::test::ExecutableFolder() / "orv-mkstep").string();
  std::uint64_t peak = 0, toolPeak = 0;
  for (int round = 0; round < rounds; ++round) {
    double readCpu = 0, gzipCpu = 0, makeCpu = 0;
    const double read = Run({"sh", "-c", "find \"$0\" \"$1\" -type f -exec cat {} + >/dev/null",
                             world.oldGame.string(), world.newGame.string()},
                            peak, readCpu);
    const double gzip =
        Run({"sh", "-c", "gzip -1 -c \"$0\" >/dev/null", world.changed.string()}, peak, gzipCpu);
    const fs::path root = world.folder / "server";
    fs::remove_all(root);
    const double make = Run({tool, world.oldGame.string(), world.newGame.string(), root.string()},
                            toolPeak, makeCpu);
    fs::remove_all(root);
    Measured().Add("baseline", read + gzip);
    Measured().Add("mkstep", make);
    Measured().Add("baseline cpu", readCpu + gzipCpu);
    Measured().Add("mkstep cpu", makeCpu);
    std::printf(
        "round %d: read both %.2f s (cpu %.2f), gzip -1 %.2f s (cpu %.2f), orv-mkstep %.2f s "
        "(cpu %.2f, peak %llu MiB)\n",
        round + 1, read, readCpu, gzip, gzipCpu, make, makeCpu,
        static_cast<unsigned long long>(toolPeak >> 20));
  }
  std::printf(
      "ratio: orv-mkstep time / (read both folders + gzip -1 of the changed bytes) = %.2f "
      "(medians %.2f s / %.2f s)\n",
      Measured().Median("mkstep") / Measured().Median("baseline"), Measured().Median("mkstep"),
      Measured().Median("baseline"));
  std::printf("ratio: the same in processor time = %.2f (medians %.2f s / %.2f s)\n",
              Measured().Median("mkstep cpu") / Measured().Median("baseline cpu"),
              Measured().Median("mkstep cpu"), Measured().Median("baseline cpu"));
  std::printf("orv-mkstep peak resident memory: %llu MiB\n",
              static_cast<unsigned long long>(toolPeak >> 20));
  return 0;
}
