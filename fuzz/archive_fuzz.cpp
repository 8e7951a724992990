// Patch files and archives come from the network and from a disk the player
// owns: whatever their bytes, applying a .dfl (and rebuilding the pair
// after it) must end in success or a clean failure, never read or write
// outside its buffers. One input holds the three files: two 16-bit sizes
// for the .hed and the .dat, then their bytes, then the .dfl.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "app/CGlobal.h"
#include "patcher/ArchivePatch.h"
#include "platform/QuietView.h"
#include "platform/posix/PosixPlatform.h"
#include "root/Launcher.h"

namespace {

using namespace orv;
namespace fs = std::filesystem;

class NoWindow : public DialogHandler {
 public:
  void OnInitDialog() override {}
  void OnCommand(int, int) override {}
  void OnTimer(int) override {}
  void OnDestroy() override {}
};

// A launcher started once, in a start folder of its own with a game folder.
struct World {
  World()
  {
    char pattern[] = "/tmp/orv-archive-fuzz-XXXXXX";
    if (!mkdtemp(pattern))
      std::abort();
    start = pattern;
    game = start / "game";
    fs::create_directories(game);
    fs::create_directories(start / "_temp");
    Write(game / "orv.exe", "MZ");
    Write(start / "OLConfig.ini", "[Conf]\r\nOrvDir=" + game.string() + "\r\n");
    if (chdir(start.c_str()) != 0)
      std::abort();
    setenv("LANG", "ja_JP.UTF-8", 1);
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    launcher = std::make_unique<Launcher>(backends.With(view), Deployment{}, window);
    launcher->CreateApp();
    if (!launcher->Startup())
      std::abort();
  }
  ~World() { fs::remove_all(start); }

  static void Write(const fs::path& path, const std::string& bytes)
  {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
      std::abort();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }

  fs::path start;
  fs::path game;
  posix::PosixPlatform backends;
  QuietView view;
  NoWindow window;
  std::unique_ptr<Launcher> launcher;
};

World& TheWorld()
{
  static World world;
  return world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size < 5)
    return 0;
  World& world = TheWorld();
  CGlobal& global = *world.launcher->Global();
  global.ReStruct = data[0] & 1;
  std::size_t hedSize = data[1] | (data[2] << 8);
  std::size_t datSize = data[3] | (data[4] << 8);
  const char* bytes = reinterpret_cast<const char*>(data + 5);
  std::size_t left = size - 5;
  hedSize = std::min(hedSize, left);
  left -= hedSize;
  datSize = std::min(datSize, left);
  left -= datSize;
  World::Write(world.game / "a.hed", std::string(bytes, hedSize));
  World::Write(world.game / "a.dat", std::string(bytes + hedSize, datSize));
  World::Write(world.start / "_temp" / "a.dfl", std::string(bytes + hedSize + datSize, left));

  ApplyPatchFile(global, (world.start / "_temp" / "a.dfl").string());

  for (const char* name : {"a.hed", "a.dat", "a.bkhed", "a.bkdat"})
    fs::remove(world.game / name);
  return 0;
}
