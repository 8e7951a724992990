#include "patcher/Recovery.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/CGlobal.h"
#include "app/LauncherApp.h"
#include "patcher/ArchiveFormat.h"
#include "patcher/ArchivePatch.h"
#include "patcher/Placement.h"
#include "patcher/WorkFolder.h"
#include "platform/ErrorCodes.h"

namespace orv {

namespace {

constexpr const char* kMarkerFailed = "%sを作成できませんでした Err:[%d]";
constexpr const char* kMarkerUnreadable = "%sを読めませんでした Err:[%d]";
constexpr const char* kMarkerNotRemoved = "%sを削除できませんでした Err:[%d]";
constexpr const char* kUnsettledMessage =
    "前回のアップデートの後始末ができないため、アップデートもゲームの起動もできません。\n"
    "ゲームフォルダのファイルを開いているプログラム(ウイルス対策ソフトなど)を終了するか、"
    "ディスクの空きと状態を確認してから、もう一度お試しください。";
constexpr const char* kCopiesRemoved = "書きかけのコピーを%d個削除しました";
constexpr const char* kRecovered = "中断されたアップデートの後始末をしました";
constexpr const char* kNotRecovered = "中断されたアップデートの後始末ができませんでした";

// The marker's second line says it names what the step changes; a marker
// without it (made by an earlier version of the launcher) names nothing,
// and the game folder is searched for what to settle instead.
constexpr std::string_view kMarkerFormat = "orv-marker 2";
constexpr std::string_view kArchiveLine = "archive ";
constexpr std::string_view kFolderLine = "folder ";
constexpr std::string_view kRebuildLine = "rebuild ";
// Far above any real step's marker; a larger file is not one.
constexpr long kLargestMarker = 16L << 20;
// Folders nested deeper than this are not the game's.
constexpr int kDeepestFolder = 64;

std::string MarkerPath(const CGlobal& global)
{
  return std::string(global.OrvDir) + "\\" + kUpdateMarkerName;
}

std::string InGameFolder(const CGlobal& global, const std::string& relative)
{
  return relative.empty() ? std::string(global.OrvDir)
                          : std::string(global.OrvDir) + "\\" + relative;
}

// The length of the .dat before the step, or -1 when it could not be read
// (the patch of such an archive fails before it writes).
long long DataLength(CGlobal& global, const std::string& base)
{
  std::FILE* file = global.platform().files.OpenFile((base + ".dat").c_str(), "rb");
  if (!file)
    return -1;
  std::uint64_t size = 0;
  const bool known = archive::SeekToEnd(file, size);
  std::fclose(file);
  return known ? static_cast<long long>(size) : -1;
}

// Writes the text to the marker, at its end unless fresh, and puts it on
// the disk; 0 or the error.
std::uint32_t WriteMarker(CGlobal& global, const std::string& text, bool fresh)
{
  FileSystem& files = global.platform().files;
  const std::string marker = MarkerPath(global);
  std::FILE* file = files.OpenFile(marker.c_str(), fresh ? "wb" : "ab");
  if (!file)
    return err::kWriteFault;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (std::fclose(file) != 0 || !written)
    return err::kWriteFault;
  if (std::uint32_t error = files.FlushFile(marker.c_str()))
    return error;
  return fresh ? files.FlushFolder(global.OrvDir) : 0;
}

// What a marker says.
struct MarkerContents {
  bool named = false;  // it names what the step changes
  struct Archive {
    std::string base;
    long long dataLength = -1;
    bool rebuilding = false;
  };
  std::vector<Archive> archives;
  std::set<std::string> folders;
};

MarkerContents ParseMarker(const std::string& text)
{
  MarkerContents contents;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    if (line == kMarkerFormat) {
      contents.named = true;
    } else if (line.substr(0, kArchiveLine.size()) == kArchiveLine) {
      line.remove_prefix(kArchiveLine.size());
      const std::size_t space = line.find(' ');
      if (space == std::string_view::npos)
        continue;
      MarkerContents::Archive archive;
      archive.dataLength = std::strtoll(std::string(line.substr(0, space)).c_str(), nullptr, 10);
      archive.base = line.substr(space + 1);
      contents.archives.push_back(std::move(archive));
    } else if (line.substr(0, kFolderLine.size()) == kFolderLine) {
      contents.folders.insert(std::string(line.substr(kFolderLine.size())));
    } else if (line.substr(0, kRebuildLine.size()) == kRebuildLine) {
      const std::string_view base = line.substr(kRebuildLine.size());
      for (MarkerContents::Archive& archive : contents.archives)
        archive.rebuilding = archive.rebuilding || archive.base == base;
    }
  }
  return contents;
}

// 0 and the marker's text, err::kFileNotFound when there is none, or the
// error that keeps it from being read.
std::uint32_t ReadMarker(CGlobal& global, std::string& text)
{
  FileSystem& files = global.platform().files;
  const std::string marker = MarkerPath(global);
  std::uint32_t attributes = 0;
  if (std::uint32_t error = files.ProbeFile(marker.c_str(), attributes))
    return error == err::kPathNotFound ? err::kFileNotFound : error;
  std::FILE* file = files.OpenFile(marker.c_str(), "rb");
  if (!file)
    return err::kReadFault;
  text.clear();
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0 &&
         text.size() < static_cast<std::size_t>(kLargestMarker))
    text.append(buffer, got);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  return failed ? err::kReadFault : 0;
}

// What settling found and did.
struct Settling {
  int copiesRemoved = 0;
  bool complete = true;
};

void RemoveCopyTemporary(CGlobal& global, const std::string& path, Settling& settling)
{
  FileSystem& files = global.platform().files;
  files.SetAttributes(path.c_str(), kAttributeNormal);
  const std::uint32_t error = files.RemoveFile(path.c_str());
  if (error == 0)
    ++settling.copiesRemoved;
  else if (error != err::kFileNotFound) {
    global.WriteProcessLog(kMarkerNotRemoved, path.c_str(), static_cast<int>(error));
    settling.complete = false;
  }
}

// The copies' temporary files directly in one folder.
void RemoveCopyTemporaries(CGlobal& global, const std::string& folder, Settling& settling)
{
  std::vector<FoundFile> entries;
  const std::string pattern = folder + "\\" + kCopyTempPrefix + "*" + kCopyTempSuffix;
  const std::uint32_t error = global.platform().files.FindFiles(pattern.c_str(), entries);
  if (error == err::kFileNotFound || error == err::kPathNotFound)
    return;
  if (error != 0) {
    global.WriteProcessLog("ファイル検索エラー Err:[%d]", static_cast<int>(error));
    settling.complete = false;
    return;
  }
  for (const FoundFile& entry : entries)
    if (!(entry.attributes & (kAttributeDirectory | kAttributeLink)) &&
        IsCopyTemporaryName(entry.name))
      RemoveCopyTemporary(global, folder + "\\" + entry.name, settling);
}

// A marker of an earlier version names nothing: the game folder is searched
// for rebuild files and copy temporaries, never through a link (a link that
// leads back up would make the walk endless, and what lies behind one is not
// the game's).
void Walk(CGlobal& global, const std::string& folder, int depth, std::set<std::string>& archives,
          Settling& settling)
{
  std::vector<FoundFile> entries;
  const std::uint32_t error =
      global.platform().files.FindFiles((folder + "\\*.*").c_str(), entries);
  if (error == err::kFileNotFound)
    return;
  if (error != 0) {
    global.WriteProcessLog("ファイル検索エラー Err:[%d]", static_cast<int>(error));
    settling.complete = false;
    return;
  }
  for (const FoundFile& entry : entries) {
    if (entry.name == "." || entry.name == ".." || (entry.attributes & kAttributeLink))
      continue;
    const std::string path = folder + "\\" + entry.name;
    if (entry.attributes & kAttributeDirectory) {
      if (depth < kDeepestFolder)
        Walk(global, path, depth + 1, archives, settling);
    } else if (IsRebuildFileName(entry.name)) {
      archives.insert(RebuildArchiveBase(path));
    } else if (IsCopyTemporaryName(entry.name)) {
      RemoveCopyTemporary(global, path, settling);
    }
  }
}

// One archive the marker names: a rebuild that was under way is settled by
// its files; an index a patch was writing goes; bytes a patch appended that
// no committed index took are cut off.
bool SettleNamedArchive(CGlobal& global, const MarkerContents::Archive& archive)
{
  FileSystem& files = global.platform().files;
  const std::string base = InGameFolder(global, archive.base);
  if (archive.rebuilding) {
    if (!SettleArchive(global, base))
      return false;
  } else {
    const std::string newIndex = orv::archive::NewIndexPath(base);
    const std::uint32_t error = files.RemoveFile(newIndex.c_str());
    if (error != 0 && error != err::kFileNotFound && error != err::kPathNotFound) {
      global.WriteProcessLog(kMarkerNotRemoved, newIndex.c_str(), static_cast<int>(error));
      return false;
    }
  }
  if (archive.dataLength < 0)
    return true;
  return CutDataToIndex(global, base, static_cast<std::uint64_t>(archive.dataLength));
}

}  // namespace

bool MarkGameFolderChanging(CGlobal& global, std::int32_t targetVersion, const StepChanges& changes)
{
  std::string text = std::to_string(targetVersion) + "\r\n" + std::string(kMarkerFormat) + "\r\n";
  for (const std::string& archive : changes.archives)
    text += std::string(kArchiveLine) +
            std::to_string(DataLength(global, InGameFolder(global, archive))) + " " + archive +
            "\r\n";
  for (const std::string& folder : changes.folders)
    text += std::string(kFolderLine) + folder + "\r\n";
  if (std::uint32_t error = WriteMarker(global, text, true)) {
    global.WriteProcessLog(kMarkerFailed, MarkerPath(global).c_str(), static_cast<int>(error));
    return false;
  }
  return true;
}

bool NoteRebuildStarting(CGlobal& global, const std::string& archive)
{
  std::uint32_t attributes = 0;
  if (global.platform().files.ProbeFile(MarkerPath(global).c_str(), attributes) ==
      err::kFileNotFound)
    return true;
  if (std::uint32_t error =
          WriteMarker(global, std::string(kRebuildLine) + archive + "\r\n", false)) {
    global.WriteProcessLog(kMarkerFailed, MarkerPath(global).c_str(), static_cast<int>(error));
    return false;
  }
  return true;
}

void UnmarkGameFolderChanging(CGlobal& global)
{
  const std::string marker = MarkerPath(global);
  // Left behind, it only makes the next run settle what is already settled.
  if (std::uint32_t error = global.platform().files.RemoveFile(marker.c_str()))
    global.WriteProcessLog(kMarkerNotRemoved, marker.c_str(), static_cast<int>(error));
}

bool RecoverGameFolder(CGlobal& global)
{
  FileSystem& files = global.platform().files;
  // A work folder that outlived its run holds another step's files: a
  // download refuses to replace them and the patch would apply its .dfl
  // files again.
  RemoveStaleWorkFolder(global);
  const std::string marker = MarkerPath(global);
  std::string text;
  if (std::uint32_t error = ReadMarker(global, text)) {
    if (error == err::kFileNotFound)
      return true;
    global.WriteProcessLog(kMarkerUnreadable, marker.c_str(), static_cast<int>(error));
    global.WriteProcessLog(kNotRecovered);
    return false;
  }
  const MarkerContents contents = ParseMarker(text);
  Settling settling;
  if (contents.named) {
    for (const MarkerContents::Archive& archive : contents.archives)
      settling.complete = SettleNamedArchive(global, archive) && settling.complete;
    for (const std::string& folder : contents.folders)
      RemoveCopyTemporaries(global, InGameFolder(global, folder), settling);
  } else {
    std::set<std::string> archives;
    Walk(global, global.OrvDir, 0, archives, settling);
    for (const std::string& archive : archives)
      settling.complete = SettleArchive(global, archive) && settling.complete;
  }
  if (settling.copiesRemoved > 0)
    global.WriteProcessLog(kCopiesRemoved, settling.copiesRemoved);
  std::uint32_t error = 0;
  if (settling.complete) {
    error = files.RemoveFile(marker.c_str());
    if (error == 0)
      error = files.FlushFolder(global.OrvDir);
    if (error != 0)
      global.WriteProcessLog(kMarkerNotRemoved, marker.c_str(), static_cast<int>(error));
  }
  if (!settling.complete || error != 0) {
    // The marker stays: the next try settles what is left.
    global.WriteProcessLog(kNotRecovered);
    return false;
  }
  global.WriteProcessLog(kRecovered);
  return true;
}

bool SettleGameFolder(CGlobal& global)
{
  if (RecoverGameFolder(global))
    return true;
  global.WriteStatus("--> 後始末ができません");
  global.app().ShowMessage("Error", "%s", kUnsettledMessage);
  return false;
}

}  // namespace orv
