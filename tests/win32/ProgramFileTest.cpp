// The Windows program as it ships: what its file carries for the system, for
// the launcher's own title and for plugins, read back from OrvLauncher.exe
// beside the tests.
#include <windows.h>
#include <dbghelp.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/ModuleVersionInfo.h"
#include "platform/win32/VersionResourceWin32.h"

namespace orv::test {
namespace {

std::string ProgramPath()
{
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path);
  folder.resize(folder.find_last_of('\\') + 1);
  return folder + "OrvLauncher.exe";
}

class ProgramFileTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    m_module = LoadLibraryExA(ProgramPath().c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_TRUE(m_module) << ProgramPath() << " cannot be loaded: " << GetLastError();
  }
  void TearDown() override
  {
    if (m_module)
      FreeLibrary(m_module);
  }

  std::string Resource(const char* type, int id)
  {
    HRSRC found = FindResourceA(m_module, MAKEINTRESOURCEA(id), type);
    if (!found)
      return {};
    HGLOBAL loaded = LoadResource(m_module, found);
    return std::string(static_cast<const char*>(LockResource(loaded)),
                       SizeofResource(m_module, found));
  }

  HMODULE m_module = nullptr;
};

TEST_F(ProgramFileTest, ExportsGetAppInfoByNameAndOrdinalOneUnderTheProgramsName)
{
  const FARPROC byName = GetProcAddress(m_module, "GetAppInfo");
  ASSERT_NE(byName, nullptr);
  EXPECT_EQ(GetProcAddress(m_module, MAKEINTRESOURCEA(1)), byName);

  // The export directory names the module.
  ULONG size = 0;
  const auto* exports = static_cast<const IMAGE_EXPORT_DIRECTORY*>(
      ImageDirectoryEntryToData(m_module, TRUE, IMAGE_DIRECTORY_ENTRY_EXPORT, &size));
  ASSERT_NE(exports, nullptr);
  const char* name = reinterpret_cast<const char*>(m_module) + exports->Name;
  EXPECT_STREQ(name, "OrvLauncher.exe");
  EXPECT_EQ(exports->Base, 1u);
  EXPECT_EQ(exports->NumberOfFunctions, 1u);
}

TEST_F(ProgramFileTest, CarriesItsVersionIconDialogsAndManifest)
{
  // The version strings the window's title and the plugin list read, in
  // the Japanese Unicode string table.
  ModuleVersionInfo info{};
  win32::VersionResourceWin32 versions;
  ASSERT_TRUE(ReadVersionInfo(versions, ProgramPath().c_str(), info));
  EXPECT_STREQ(info.PrivateBuild, "Ver.0.3.3 Rev.4");
  EXPECT_STREQ(info.FileVersion, "0, 3, 3, 4");
  const std::string version = Resource(MAKEINTRESOURCEA(16), 1);  // RT_VERSION
  const std::wstring table = L"041104b0";
  EXPECT_NE(std::wstring(reinterpret_cast<const wchar_t*>(version.data()), version.size() / 2)
                .find(table),
            std::wstring::npos);

  EXPECT_FALSE(Resource(MAKEINTRESOURCEA(14), 1).empty());   // RT_GROUP_ICON
  EXPECT_FALSE(Resource(MAKEINTRESOURCEA(5), 101).empty());  // RT_DIALOG
  EXPECT_FALSE(Resource(MAKEINTRESOURCEA(5), 102).empty());

  const std::string manifest = Resource(MAKEINTRESOURCEA(24), 1);  // RT_MANIFEST
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
            std::string::npos)
      << manifest;
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
}

}  // namespace
}  // namespace orv::test
