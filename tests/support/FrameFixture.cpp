#include "support/FrameFixture.h"

#include "support/PluginFolder.h"

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
  const Platform real = m_backends.With(m_view);
  const Platform platform{m_files ? *m_files : real.files,
                          real.profiles,
                          real.libraries,
                          real.versions,
                          real.locale,
                          real.clock,
                          real.view,
                          real.http,
                          real.cabinets,
                          real.processes,
                          real.crypto};
  m_launcher = std::make_unique<Launcher>(platform, m_deployment, m_mainWindow, packLibraryName);
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

bool LibraryLoaded(const std::string& windowsName)
{
  return LibraryLoadedAt(ExecutableFolder() / NativeLibraryName(windowsName));
}

}  // namespace orv::test
