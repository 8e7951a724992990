#include "support/StubGame.h"

#include <fstream>

#include "support/PluginFolder.h"

namespace orv::test {

void InstallStubGame(const std::filesystem::path& file)
{
  std::filesystem::create_directories(file.parent_path());
  std::filesystem::copy_file(ExecutableFolder() / ProgramFileName("stub_game"), file,
                             std::filesystem::copy_options::overwrite_existing);
}

bool Eventually(const std::function<bool()>& condition)
{
  for (int poll = 0; poll < 500; ++poll, PauseMilliseconds(20))
    if (condition())
      return true;
  return false;
}

std::optional<std::vector<std::string>> WaitForFileLines(const std::filesystem::path& file)
{
  if (!Eventually([&] { return std::filesystem::exists(file); }))
    return std::nullopt;
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

}  // namespace orv::test
