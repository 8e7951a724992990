#include "patcher/Recovery.h"

#include <cstdio>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/CGlobal.h"
#include "patcher/ArchivePatch.h"
#include "patcher/WorkFolder.h"
#include "platform/ErrorCodes.h"

namespace orv {

namespace {

constexpr const char* kMarkerName = "\\OLUpdate.pending";
constexpr const char* kMarkerFailed = "%sを作成できませんでした Err:[%d]";
constexpr const char* kCopiesRemoved = "書きかけのコピーを%d個削除しました";
constexpr const char* kRecovered = "中断されたアップデートの後始末をしました";
constexpr const char* kWorkFolderRemoved = "前回の_tempフォルダを削除しました";
constexpr const char* kNotRecovered = "中断されたアップデートの後始末ができませんでした";

// Folders nested deeper than this are not the game's (a link that leads
// back to a folder above it).
constexpr int kDeepestFolder = 64;

std::string MarkerPath(const CGlobal& global) { return std::string(global.OrvDir) + kMarkerName; }

bool IsCopyTemporary(std::string_view name)
{
  const std::string_view prefix = kCopyTempPrefix;
  const std::string_view suffix = kCopyTempSuffix;
  return name.size() > prefix.size() + suffix.size() && name.substr(0, prefix.size()) == prefix &&
         name.substr(name.size() - suffix.size()) == suffix;
}

// What a walk of the game folder found to settle.
struct Leftovers {
  std::set<std::string> archives;  // paths without extension
  int copiesRemoved = 0;
  bool complete = true;
};

void Walk(CGlobal& global, const std::string& folder, int depth, Leftovers& leftovers)
{
  FileSystem& files = global.platform().files;
  std::vector<FoundFile> entries;
  const std::uint32_t error = files.FindFiles((folder + "\\*.*").c_str(), entries);
  if (error == err::kFileNotFound)
    return;
  if (error != 0) {
    global.WriteProcessLog("ファイル検索エラー Err:[%d]", static_cast<int>(error));
    leftovers.complete = false;
    return;
  }
  for (const FoundFile& entry : entries) {
    if (entry.name == "." || entry.name == "..")
      continue;
    const std::string path = folder + "\\" + entry.name;
    if (entry.attributes & kAttributeDirectory) {
      if (depth < kDeepestFolder)
        Walk(global, path, depth + 1, leftovers);
    } else if (IsRebuildFileName(entry.name)) {
      leftovers.archives.insert(RebuildArchiveBase(path));
    } else if (IsCopyTemporary(entry.name)) {
      files.SetAttributes(path.c_str(), kAttributeNormal);
      if (files.RemoveFile(path.c_str()) == 0)
        ++leftovers.copiesRemoved;
      else
        leftovers.complete = false;
    }
  }
}

}  // namespace

bool MarkGameFolderChanging(CGlobal& global, std::int32_t targetVersion)
{
  FileSystem& files = global.platform().files;
  const std::string marker = MarkerPath(global);
  std::uint32_t error = err::kWriteFault;
  if (std::FILE* file = files.OpenFile(marker.c_str(), "wb")) {
    const bool written = std::fprintf(file, "%d\r\n", static_cast<int>(targetVersion)) > 0;
    if (std::fclose(file) == 0 && written)
      error = files.FlushFile(marker.c_str());
  }
  if (error == 0)
    error = files.FlushFolder(global.OrvDir);
  if (error != 0) {
    global.WriteProcessLog(kMarkerFailed, marker.c_str(), static_cast<int>(error));
    return false;
  }
  return true;
}

void UnmarkGameFolderChanging(CGlobal& global)
{
  global.platform().files.RemoveFile(MarkerPath(global).c_str());
}

void RecoverGameFolder(CGlobal& global)
{
  FileSystem& files = global.platform().files;
  // A work folder that outlived its run holds another step's files: a
  // download refuses to replace them and the patch would apply its .dfl
  // files again.
  const std::string workFolder = std::string(global.startDir) + "\\_temp";
  if (files.IsFolder(workFolder.c_str()) && DeleteWorkFolder(global))
    global.WriteProcessLog(kWorkFolderRemoved);
  const std::string marker = MarkerPath(global);
  if (!FileReadable(files, marker.c_str()))
    return;
  Leftovers leftovers;
  Walk(global, global.OrvDir, 0, leftovers);
  for (const std::string& archive : leftovers.archives)
    leftovers.complete = SettleArchive(global, archive) && leftovers.complete;
  if (leftovers.copiesRemoved > 0)
    global.WriteProcessLog(kCopiesRemoved, leftovers.copiesRemoved);
  if (!leftovers.complete) {
    // The marker stays: the next start tries again.
    global.WriteProcessLog(kNotRecovered);
    return;
  }
  files.RemoveFile(marker.c_str());
  files.FlushFolder(global.OrvDir);
  global.WriteProcessLog(kRecovered);
}

}  // namespace orv
