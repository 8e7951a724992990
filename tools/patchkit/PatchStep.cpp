#include "patchkit/PatchStep.h"

#include <cstdio>

#include "patchkit/Files.h"

namespace orv::patchkit {

std::filesystem::path StepFolder(const std::filesystem::path& serverRoot, int version)
{
  char folderName[16];
  std::snprintf(folderName, sizeof folderName, "D%08d", version);
  return serverRoot / folderName;
}

bool WriteStep(const std::filesystem::path& serverRoot, const PatchStep& step,
               std::string& error)
{
  const std::filesystem::path folder = StepFolder(serverRoot, step.version);
  std::error_code failure;
  std::filesystem::create_directories(folder, failure);
  if (failure) {
    error = "cannot create " + folder.string() + ": " + failure.message();
    return false;
  }

  std::string addList = std::to_string(step.addList.size()) + "\r\n";
  for (const std::string& path : step.addList)
    addList += path + "\r\n";
  if (!WriteWholeFile(folder / "add_list.txt", addList, error))
    return false;

  std::string downloadList = "add_list.txt," + std::to_string(addList.size()) + "\r\n";
  for (std::size_t i = 0; i < step.cabinets.size(); ++i) {
    std::vector<CabinetFile> files = step.cabinets[i].second;
    if (step.withVersionFile && i + 1 == step.cabinets.size())
      files.push_back({"orv.ver", std::to_string(step.version) + "\r\n", {}});
    const std::filesystem::path cabinet = folder / step.cabinets[i].first;
    if (!MakeCabinet(cabinet, files, true, error))
      return false;
    const std::uintmax_t size = std::filesystem::file_size(cabinet, failure);
    if (failure) {
      error = "cannot measure " + cabinet.string() + ": " + failure.message();
      return false;
    }
    downloadList += step.cabinets[i].first + "," + std::to_string(size) + "\r\n";
  }
  return WriteWholeFile(folder / "dl_list.txt", downloadList, error);
}

}  // namespace orv::patchkit
