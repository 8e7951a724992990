// The file side of a step: the work folder, its cabinets, and the files the
// step places into the game folder.
#include "patcher/WorkFolder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "app/CGlobal.h"
#include "app/LauncherApp.h"
#include "app/PathParts.h"
#include "app/Text.h"
#include "patcher/CPatcher.h"
#include "patcher/Placement.h"
#include "patcher/SafePath.h"
#include "platform/ErrorCodes.h"

namespace orv {

namespace {

std::string WorkFolder(const CGlobal& global)
{
  return std::string(global.startDir) + "\\" + kWorkFolderName;
}

// Chooses where a file of a cabinet goes: under its own path in the work
// folder, whose folders are made first. A name that would leave the work
// folder ends the walk.
CabinetFileAction CabinetCallback(CGlobal& global, const char* cabinet, const char* nameInCabinet,
                                  std::string& target)
{
  if (!IsContainedRelativePath(nameInCabinet)) {
    global.WriteProcessLog("%sに不正なファイル名があります[%s]", cabinet, nameInCabinet);
    return CabinetFileAction::Abort;
  }
  target = WorkFolder(global) + "\\" + nameInCabinet;
  global.platform().files.MakePath(target.c_str());
  return CabinetFileAction::Extract;
}

}  // namespace

namespace {

// Made in the work folder when the launcher makes it, and kept while it is
// emptied.
constexpr const char* kWorkFolderTag = ".orv-work";
constexpr const char* kNotOurWorkFolder =
    "%sはランチャーが作ったフォルダではありません。\n"
    "中のファイルを移動するか、フォルダの名前を変えてから、もう一度お試しください。";

std::string WorkFolderTag(const CGlobal& global)
{
  return WorkFolder(global) + "\\" + kWorkFolderTag;
}

bool TagWorkFolder(CGlobal& global)
{
  std::FILE* file = global.platform().files.OpenFile(WorkFolderTag(global).c_str(), "wb");
  return file && std::fclose(file) == 0;
}

bool IsOurWorkFolder(CGlobal& global)
{
  std::uint32_t attributes = 0;
  return global.platform().files.ProbeFile(WorkFolderTag(global).c_str(), attributes) == 0;
}

// Whether a folder holds nothing at all.
bool IsEmptyFolder(CGlobal& global, const std::string& folder)
{
  std::vector<FoundFile> entries;
  global.platform().files.FindFiles((folder + "\\*.*").c_str(), entries);
  return std::all_of(entries.begin(), entries.end(), [](const FoundFile& entry) {
    return entry.name == "." || entry.name == "..";
  });
}

}  // namespace

bool CreateWorkFolder(CGlobal& global)
{
  FileSystem& files = global.platform().files;
  const std::string folder = WorkFolder(global);
  const std::uint32_t error = files.MakeFolder(folder.c_str());
  if (error == 0) {
    if (!TagWorkFolder(global)) {
      global.app().ShowMessage("Error", "_tempディレクトリの作成に失敗しました");
      return false;
    }
    return true;
  }
  if (error != err::kAlreadyExists || !files.IsFolder(folder.c_str())) {
    global.app().ShowMessage("Error", "_tempディレクトリの作成に失敗しました");
    return false;
  }
  // An empty folder holds nothing of anyone's: it is taken over.
  if (!IsOurWorkFolder(global) && !(IsEmptyFolder(global, folder) && TagWorkFolder(global))) {
    global.WriteProcessLog(kNotOurWorkFolder, folder.c_str());
    global.app().ShowMessage("Error", kNotOurWorkFolder, folder.c_str());
    return false;
  }
  // A step must not find another step's files.
  if (!ClearFolder(global, folder, {kWorkFolderTag})) {
    global.WriteProcessLog("テンポラリの削除に失敗しました。");
    return false;
  }
  return true;
}

// The tag goes last: a kill part-way must leave a folder still known as the
// launcher's, which the next start deletes.
bool DeleteWorkFolder(CGlobal& global)
{
  if (!ClearFolder(global, WorkFolder(global), {kWorkFolderTag}))
    return false;
  FileSystem& files = global.platform().files;
  const std::uint32_t error = files.RemoveFile(WorkFolderTag(global).c_str());
  if (error != 0 && error != err::kFileNotFound && error != err::kPathNotFound) {
    global.WriteProcessLog("%sを削除できませんでした Err:[%d]", WorkFolderTag(global).c_str(),
                           static_cast<int>(error));
    return false;
  }
  return DeleteTree(global, WorkFolder(global));
}

void RemoveStaleWorkFolder(CGlobal& global)
{
  const std::string folder = WorkFolder(global);
  if (!global.platform().files.IsFolder(folder.c_str()))
    return;
  if (!IsOurWorkFolder(global)) {
    global.WriteProcessLog("%sはランチャーが作ったフォルダではないため削除しません",
                           folder.c_str());
    return;
  }
  if (DeleteWorkFolder(global))
    global.WriteProcessLog("前回の_tempフォルダを削除しました");
  else
    global.WriteProcessLog("前回の_tempフォルダを削除できませんでした");
}

bool ClearFolder(CGlobal& global, const std::string& folder,
                 std::initializer_list<std::string_view> keep)
{
  FileSystem& files = global.platform().files;
  std::vector<FoundFile> entries;
  const std::uint32_t error = files.FindFiles((folder + "\\*.*").c_str(), entries);
  if (error == err::kPathNotFound)
    return true;
  if (error != 0 && error != err::kFileNotFound) {
    global.WriteProcessLog("ファイル検索エラー Err:[%d]", static_cast<int>(error));
    return false;
  }
  bool cleared = true;
  for (const FoundFile& entry : entries) {
    if (entry.name == "." || entry.name == ".." ||
        std::find(keep.begin(), keep.end(), entry.name) != keep.end())
      continue;
    const std::string path = folder + "\\" + entry.name;
    std::uint32_t removed = 0;
    if ((entry.attributes & kAttributeDirectory) && !(entry.attributes & kAttributeLink)) {
      if (!DeleteTree(global, path))
        cleared = false;
      continue;
    }
    files.SetAttributes(path.c_str(), kAttributeNormal);
    // A link to a folder goes as a folder does where the platform asks so:
    // what it points at is left alone.
    removed = (entry.attributes & kAttributeDirectory) ? files.RemoveFolder(path.c_str())
                                                       : files.RemoveFile(path.c_str());
    if (removed != 0 && removed != err::kFileNotFound) {
      global.WriteProcessLog("%sを削除できませんでした Err:[%d]", path.c_str(),
                             static_cast<int>(removed));
      cleared = false;
    }
  }
  return cleared;
}

bool DeleteTree(CGlobal& global, const std::string& folder)
{
  if (!ClearFolder(global, folder, {}))
    return false;
  const std::uint32_t error = global.platform().files.RemoveFolder(folder.c_str());
  if (error != 0 && error != err::kFileNotFound && error != err::kPathNotFound) {
    global.WriteProcessLog("%sを削除できませんでした Err:[%d]", folder.c_str(),
                           static_cast<int>(error));
    return false;
  }
  return true;
}

bool ExtractCabinet(CGlobal& global, const std::string& folder, const char* name)
{
  const std::string cabinet = folder + "\\" + name;
  const std::uint32_t error = global.platform().cabinets.Iterate(
      cabinet.c_str(), [&](const char* nameInCabinet, std::uint32_t, std::string& target) {
        return CabinetCallback(global, name, nameInCabinet, target);
      });
  if (error == 0)
    return true;
  global.WriteProcessLog("%sの解凍に失敗 ErrCode:[%d]", name, static_cast<int>(error));
  return false;
}

bool CPatcher::StageListedFiles()
{
  if (downloadFolder.empty() || downloadList.empty())
    return true;
  FileSystem& files = m_global.platform().files;
  const char* name = downloadList[0].name;
  const std::string from = downloadFolder + "\\" + name;
  const std::string to = WorkFolder(m_global) + "\\" + name;
  files.MakePath(to.c_str());
  if (std::uint32_t error = files.CopyFileOver(from.c_str(), to.c_str(), false)) {
    m_global.WriteProcessLog("%sのコピーエラー ErrCode[%d]", name, static_cast<int>(error));
    return false;
  }
  return true;
}

bool CPatcher::ExtractCabinets()
{
  // Entry 0 of the list is not a cabinet.
  for (std::size_t i = 1; i < downloadList.size(); ++i) {
    const char* name = downloadList[i].name;
    m_global.WriteStatus("%sを展開中", name);
    if (!ExtractCabinet(m_global, StepFiles(), name))
      return false;
    m_global.WriteStatus("%sの展開終了", name);
  }
  return true;
}

bool CPatcher::ReadAddList()
{
  const std::string path = WorkFolder(m_global) + "\\add_list.txt";
  std::FILE* file = m_global.platform().files.OpenFile(path.c_str(), "r");
  if (!file) {
    m_global.WriteProcessLog("add_list.txtが開けませんでした");
    return false;
  }
  addList.clear();
  int declared = 0;
  // A first line without a number declares nothing, which no list matches.
  bool ok = std::fscanf(file, "%d", &declared) == 1;
  bool unsafe = false;
  if (ok) {
    char line[256];
    while (std::fgets(line, sizeof line, file)) {
      if (line[0] == '\r' || line[0] == '\n')
        continue;
      line[std::strcspn(line, "\r\n")] = '\0';
      // Each path is joined to the game folder: it must stay inside it.
      if (!IsContainedRelativePath(line)) {
        m_global.WriteProcessLog("add_list.txtに不正なファイル名があります[%s]", line);
        unsafe = true;
        break;
      }
      addList.emplace_back(line);
    }
    ok = !unsafe && addList.size() == static_cast<std::size_t>(declared) && declared >= 0;
  }
  if (ok)
    addList.emplace_back("orv.ver");
  else if (!unsafe)
    m_global.WriteProcessLog("add_list.txtで取得したファイル数との違いがあります");
  std::fclose(file);
  return ok;
}

bool CPatcher::CreateFolders()
{
  FileSystem& files = m_global.platform().files;
  for (const std::string& entry : addList) {
    const PathParts parts = SplitPath(entry);
    const std::string folderPart = parts.drive + parts.folder;
    const std::string path = std::string(m_global.OrvDir) + "\\" + folderPart;
    if (files.IsFolder(path.c_str()))
      continue;
    m_global.WriteProcessLog("新規ディレクトリ作成[%s]", folderPart.c_str());
    if (std::uint32_t error = files.MakePath(path.c_str())) {
      m_global.WriteProcessLog("%sのディレクトリの作成に失敗しました ErrCode:[%d]",
                               folderPart.c_str(), static_cast<int>(error));
      return false;
    }
  }
  return true;
}

namespace {

// The game folder and every folder of the entry's path under it: the
// folders whose entries a copy of it may change.
void AddFoldersOf(const std::string& orvDir, const std::string& entry, std::set<std::string>& folders)
{
  folders.insert(orvDir);
  const PathParts parts = SplitPath(entry);
  const std::string folderPart = parts.drive + parts.folder;
  for (std::size_t i = 0; i < folderPart.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(folderPart[i]);
    if (IsLeadByte(byte) && i + 1 < folderPart.size())
      ++i;
    else if (byte == '\\' && i > 0)
      folders.insert(orvDir + "\\" + folderPart.substr(0, i));
  }
}

}  // namespace

// The add list ends with orv.ver, and its copy is what makes the step done:
// before it, every file placed and every folder that got new entries is
// flushed (all at once where the platform can), and orv.ver itself reaches
// the disk before it takes its name, so that after a power cut orv.ver never
// names a version whose files are not all there.
bool CPatcher::PlaceFiles()
{
  if (!CreateFolders())
    return false;
  FileSystem& files = m_global.platform().files;
  const std::string work = WorkFolder(m_global);
  const std::string orvDir = m_global.OrvDir;
  std::vector<std::string> placed;
  std::set<std::string> changedFolders;
  for (std::size_t i = 0; i < addList.size(); ++i) {
    const std::string& entry = addList[i];
    const PathParts parts = SplitPath(entry);
    const bool last = i + 1 == addList.size();
    if (last && (!FlushPlaced(placed) || !FlushFolders(changedFolders)))
      return false;
    // The file directly in the work folder first, then under the folders of
    // its entry, where a cabinet that stored it with them put it.
    const PlacementSources sources = PlacementSourcesOf(entry);
    const std::string direct = work + "\\" + sources.direct;
    const std::string nested = work + "\\" + sources.nested;
    const std::string destination = orvDir + "\\" + entry;
    files.SetAttributes(destination.c_str(), kAttributeNormal);
    std::uint32_t error = files.CopyFileOver(direct.c_str(), destination.c_str(), last);
    if (error == err::kFileNotFound)
      error = files.CopyFileOver(nested.c_str(), destination.c_str(), last);
    if (error != 0) {
      m_global.WriteProcessLog("%s%sのコピーエラー ErrCode[%d]", parts.name.c_str(),
                               parts.extension.c_str(), static_cast<int>(error));
      return false;
    }
    placed.push_back(destination);
    AddFoldersOf(orvDir, entry, changedFolders);
    m_global.WriteStatus("%s%sのコピーをしました", parts.name.c_str(), parts.extension.c_str());
  }
  return FlushFolders(changedFolders);
}

bool CPatcher::FlushPlaced(std::vector<std::string>& placed)
{
  if (std::uint32_t error = m_global.platform().files.FlushFiles(placed)) {
    m_global.WriteProcessLog("ファイルをディスクに書き出せませんでした Err:[%d]",
                             static_cast<int>(error));
    return false;
  }
  placed.clear();
  return true;
}

bool CPatcher::FlushFolders(std::set<std::string>& folders)
{
  for (const std::string& folder : folders) {
    if (std::uint32_t error = m_global.platform().files.FlushFolder(folder.c_str())) {
      m_global.WriteProcessLog("%sをディスクに書き出せませんでした Err:[%d]", folder.c_str(),
                               static_cast<int>(error));
      return false;
    }
  }
  folders.clear();
  return true;
}

}  // namespace orv
