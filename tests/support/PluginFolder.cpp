#include "support/PluginFolder.h"

namespace orv::test {

void PluginFolder::Install(const std::string& variant, const std::string& fileName) const
{
  std::filesystem::create_directories(m_path);
  std::filesystem::copy_file(ExecutableFolder() / "test_plugins" / (variant + ".opg"),
                             m_path / fileName,
                             std::filesystem::copy_options::overwrite_existing);
}

}  // namespace orv::test
