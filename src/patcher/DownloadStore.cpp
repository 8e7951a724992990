#include "patcher/DownloadStore.h"

#include <cstdio>
#include <vector>

#include "app/CGlobal.h"
#include "patcher/WorkFolder.h"

namespace orv {

namespace {

std::string StoreRoot(const CGlobal& global)
{
  return std::string(global.startDir) + "\\_download";
}

std::string StepFolderName(std::int32_t version)
{
  char name[16];
  std::snprintf(name, sizeof name, "D%08d", static_cast<int>(version));
  return name;
}

}  // namespace

std::string DownloadStoreFolder(const CGlobal& global, std::int32_t version)
{
  return StoreRoot(global) + "\\" + StepFolderName(version);
}

void RemoveDownloadStore(CGlobal& global, std::int32_t version)
{
  DeleteTree(global, DownloadStoreFolder(global, version));
  // Fails, as it should, while another step's folder is still there.
  global.platform().files.RemoveFolder(StoreRoot(global).c_str());
}

void PruneDownloadStore(CGlobal& global, std::int32_t keepVersion)
{
  std::vector<FoundFile> entries;
  if (global.platform().files.FindFiles((StoreRoot(global) + "\\*.*").c_str(), entries) != 0)
    return;
  const std::string keep = StepFolderName(keepVersion);
  for (const FoundFile& entry : entries) {
    if (entry.name == "." || entry.name == ".." || entry.name == keep)
      continue;
    global.WriteProcessLog("前回のダウンロードを削除しました[%s]", entry.name.c_str());
    const std::string path = StoreRoot(global) + "\\" + entry.name;
    if (entry.attributes & kAttributeDirectory)
      DeleteTree(global, path);
    else
      global.platform().files.RemoveFile(path.c_str());
  }
  global.platform().files.RemoveFolder(StoreRoot(global).c_str());
}

}  // namespace orv
