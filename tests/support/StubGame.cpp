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
  // Under wine a renamed file is listed a moment before the rename lets go
  // of it, and opening it then fails: what counts is its lines, not its
  // name.
  std::vector<std::string> lines;
  const bool read = Eventually([&] {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
      lines.push_back(line);
    return !lines.empty();
  });
  if (!read)
    return std::nullopt;
  return lines;
}

}  // namespace orv::test
