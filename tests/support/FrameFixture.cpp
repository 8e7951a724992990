#include "support/FrameFixture.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace orv::test {

FrameFixture::FrameFixture(std::string extraCaFile) : m_backends(std::move(extraCaFile)) {}

std::filesystem::path FrameFixture::MakeGameFolder(const std::string& name)
{
  const auto folder = m_start.path() / name;
  std::filesystem::create_directories(folder);
  WriteFile(folder / "orv.exe", "MZ");
  return folder;
}

Launcher& FrameFixture::MakeLauncher(const char* packLibraryName)
{
  m_launcher = std::make_unique<Launcher>(m_backends.With(m_view), m_deployment, m_mainWindow,
                                          packLibraryName);
  return *m_launcher;
}

CGlobal& FrameFixture::StartLauncher(const std::string& moreSettings)
{
  WriteFile(ConfigFile(),
            "[Conf]\r\nOrvDir=" + MakeGameFolder("game").string() + "\r\n" + moreSettings);
  Launcher& launcher = MakeLauncher();
  launcher.CreateApp();
  EXPECT_TRUE(launcher.Startup());
  CGlobal& global = *launcher.Global();
  global.SetMainWindow(&m_view);
  return global;
}

bool LibraryLoaded(const std::string& fileName)
{
  char executable[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", executable, sizeof executable - 1);
  if (length <= 0)
    return false;
  std::string path(executable, static_cast<std::size_t>(length));
  path = path.substr(0, path.rfind('/') + 1) + fileName;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!handle)
    return false;
  dlclose(handle);
  return true;
}

}  // namespace orv::test
