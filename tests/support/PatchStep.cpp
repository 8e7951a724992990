#include "support/PatchStep.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "support/TempDir.h"

namespace orv::test {

void WriteStep(const std::filesystem::path& serverRoot, const PatchStep& step)
{
  char folderName[16];
  std::snprintf(folderName, sizeof folderName, "D%08d", step.version);
  const std::filesystem::path folder = serverRoot / folderName;
  std::filesystem::create_directories(folder);

  std::string addList = std::to_string(step.addList.size()) + "\r\n";
  for (const std::string& path : step.addList)
    addList += path + "\r\n";
  WriteFile(folder / "add_list.txt", addList);

  std::string downloadList = "add_list.txt," + std::to_string(addList.size()) + "\r\n";
  for (std::size_t i = 0; i < step.cabinets.size(); ++i) {
    std::vector<CabinetFile> files = step.cabinets[i].second;
    if (step.withVersionFile && i + 1 == step.cabinets.size())
      files.push_back({"orv.ver", std::to_string(step.version) + "\r\n"});
    const std::filesystem::path cabinet = folder / step.cabinets[i].first;
    EXPECT_TRUE(MakeCabinet(cabinet, files));
    downloadList +=
        step.cabinets[i].first + "," + std::to_string(std::filesystem::file_size(cabinet)) + "\r\n";
  }
  WriteFile(folder / "dl_list.txt", downloadList);
}

}  // namespace orv::test
