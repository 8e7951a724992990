// The download phase of a step: dl_list.txt and the files it names.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "app/CGlobal.h"
#include "net/Download.h"
#include "net/PartialFile.h"
#include "patcher/CPatcher.h"
#include "patcher/DownloadStore.h"
#include "patcher/SafePath.h"
#include "patcher/StepManifest.h"
#include "patcher/WorkFolder.h"

namespace orv {

namespace {

// "/D%08d/<name>": the server folder of the step that produces `version`.
std::string StepPath(std::int32_t version, const char* name)
{
  char folder[32];
  std::snprintf(folder, sizeof folder, "/D%08d/", static_cast<int>(version));
  return folder + std::string(name);
}

ExpectedFile ExpectedOf(const ManifestFile& file)
{
  return {file.size, file.sha256};
}

// The whole of a small file; false when it cannot be read.
bool ReadSmallFile(FileSystem& files, const std::string& path, std::string& text)
{
  text.clear();
  std::FILE* in = files.OpenFile(path.c_str(), "rb");
  if (!in)
    return false;
  char buffer[4096];
  std::size_t read = 0;
  while ((read = std::fread(buffer, 1, sizeof buffer, in)) > 0)
    text.append(buffer, read);
  const bool ok = std::ferror(in) == 0;
  std::fclose(in);
  return ok;
}

}  // namespace

std::string CPatcher::StepFiles() const
{
  return downloadFolder.empty() ? std::string(m_global.startDir) + "\\_temp" : downloadFolder;
}

bool CPatcher::FetchDownloadList(std::int32_t version)
{
  FileSystem& files = m_global.platform().files;
  downloadFolder = DownloadStoreFolder(m_global, version);
  files.MakePath((downloadFolder + "\\").c_str());
  // The list is fetched afresh every time: it says what the step is now.
  const std::string fresh = downloadFolder + "\\dl_list.new";
  const std::string kept = downloadFolder + "\\dl_list.txt";
  PartialFile(files, fresh).Discard();
  files.RemoveFile(fresh.c_str());

  // A signed step's list is checked against the manifest as it arrives,
  // before a line of it is read.
  const bool signedStep = !m_global.deployment().updateKey.empty();
  if (signedStep && !FetchManifest(version))
    return false;
  ExpectedFile expected;
  if (signedStep)
    expected = ExpectedOf(*manifest.Find("dl_list.txt"));

  const std::string path = StepPath(version, "dl_list.txt");
  m_global.WriteProcessLog("dl_list.txtをダウンロード");
  if (!DownloadWithRetries(m_global, connection, path.c_str(), fresh, "dl_list.txt", retryWaits,
                           signedStep ? &expected : nullptr)) {
    m_global.WriteProcessLog("dl_list.txtのダウンロードに失敗");
    return false;
  }
  m_global.WriteProcessLog("dl_list.txtのダウンロードの完了");
  // Files kept from another list may be another step's: a publisher who
  // replaced the step replaced them too.
  std::string before;
  std::string now;
  const bool hadList = ReadSmallFile(files, kept, before);
  if (!ReadSmallFile(files, fresh, now) || !hadList || before != now) {
    if (hadList)
      m_global.WriteProcessLog(
          "ステップの内容が変わったため、ダウンロード済みのファイルを破棄しました");
    ClearFolder(m_global, downloadFolder, {"dl_list.new", "manifest.txt", "manifest.sig"});
  }
  if (files.MoveFileOver(fresh.c_str(), kept.c_str()) != 0) {
    m_global.WriteProcessLog("dl_list.txtを読み込みに失敗");
    return false;
  }
  if (!ReadDownloadList())
    return false;
  if (signedStep) {
    for (const DownloadEntry& entry : downloadList) {
      if (!manifest.Find(entry.name)) {
        m_global.WriteProcessLog("%sは署名されたファイルではありません", entry.name);
        return false;
      }
    }
    if (manifest.files.size() != downloadList.size() + 1) {
      m_global.WriteProcessLog("dl_list.txtが署名されたファイルの一覧と一致しません");
      return false;
    }
  }
  return true;
}

bool CPatcher::FetchManifest(std::int32_t version)
{
  FileSystem& files = m_global.platform().files;
  for (const char* name : {"manifest.txt", "manifest.sig"}) {
    const std::string local = downloadFolder + "\\" + name;
    PartialFile(files, local).Discard();
    files.RemoveFile(local.c_str());
    const std::string path = StepPath(version, name);
    m_global.WriteProcessLog("%sをダウンロード", name);
    // Nothing vouches for these yet: a server must not fill the disk.
    if (!DownloadWithRetries(m_global, connection, path.c_str(), local, name, retryWaits, nullptr,
                             kManifestLimit)) {
      m_global.WriteProcessLog("%sのダウンロードに失敗", name);
      return false;
    }
  }
  std::string text;
  std::string signatureText;
  std::uint8_t signature[64] = {};
  const bool read = ReadSmallFile(files, downloadFolder + "\\manifest.txt", text) &&
                    ReadSmallFile(files, downloadFolder + "\\manifest.sig", signatureText);
  while (!signatureText.empty() && (signatureText.back() == '\n' || signatureText.back() == '\r'))
    signatureText.pop_back();
  if (!read || !BytesOfHex(signatureText, signature, sizeof signature) ||
      !m_global.platform().crypto.VerifyP256(m_global.deployment().updateKey, text.data(),
                                             text.size(), signature)) {
    m_global.WriteProcessLog("manifest.txtの署名が正しくありません");
    return false;
  }
  std::string problem;
  if (!ParseStepManifest(text, manifest, problem)) {
    m_global.WriteProcessLog("manifest.txtが読めません (%s)", problem.c_str());
    return false;
  }
  // A genuine step of another version, served under this one's number.
  if (manifest.from != version - 1 || manifest.to != version) {
    m_global.WriteProcessLog("manifest.txtは別のステップのものです (%d->%d)",
                             static_cast<int>(manifest.from), static_cast<int>(manifest.to));
    return false;
  }
  if (!manifest.Find("dl_list.txt")) {
    m_global.WriteProcessLog("manifest.txtにdl_list.txtがありません");
    return false;
  }
  return true;
}

bool CPatcher::ReadDownloadList()
{
  m_global.WriteProcessLog("dl_list.txtを読み込み");
  downloadList.clear();
  const std::string path = StepFiles() + "\\dl_list.txt";
  std::FILE* file = m_global.platform().files.OpenFile(path.c_str(), "r");
  if (!file) {
    m_global.WriteProcessLog("dl_list.txtを読み込みに失敗");
    return false;
  }
  bool ok = true;
  for (;;) {
    if (m_global.workerRun == 0) {
      ok = false;
      break;
    }
    DownloadEntry entry;
    char line[256] = {};
    if (!std::fgets(line, sizeof line, file))
      break;
    if (line[0] == '\r' || line[0] == '\n')
      continue;
    int value = 0;
    if (std::sscanf(line, "%255[^,],%d", entry.name, &value) == 2)
      entry.value = value;
    // A name without a comma after it would keep its line end and send it
    // inside the request line.
    entry.name[std::strcspn(entry.name, "\r\n")] = '\0';
    // The name becomes a file of the work folder: it must stay inside it.
    if (!IsContainedRelativePath(entry.name)) {
      m_global.WriteProcessLog("dl_list.txtに不正なファイル名があります[%s]", entry.name);
      ok = false;
      break;
    }
    downloadList.push_back(entry);
  }
  std::fclose(file);
  return ok;
}

bool CPatcher::DownloadStepFiles(std::int32_t version)
{
  FileSystem& files = m_global.platform().files;
  const std::size_t count = downloadList.size();
  for (std::size_t i = 0; i < count; ++i) {
    const char* name = downloadList[i].name;
    const std::string path = StepPath(version, name);
    const std::string destination = StepFiles() + "\\" + name;
    m_global.WriteProcessLog("%sをダウンロード %d/%d", name, static_cast<int>(i + 1),
                             static_cast<int>(count));
    ExpectedFile expected;
    const bool signedStep = !m_global.deployment().updateKey.empty();
    if (signedStep)
      expected = ExpectedOf(*manifest.Find(name));
    if (FileReadable(files, destination.c_str())) {
      if (!signedStep || FileMatches(m_global, destination, name, expected)) {
        m_global.WriteProcessLog("%sはダウンロード済みです", name);
        continue;
      }
      files.RemoveFile(destination.c_str());
    }
    files.MakePath(destination.c_str());
    if (!DownloadWithRetries(m_global, connection, path.c_str(), destination, name, retryWaits,
                             signedStep ? &expected : nullptr)) {
      m_global.WriteProcessLog("%sのダウンロードに失敗", name);
      return false;
    }
    m_global.WriteProcessLog("%sのダウンロードの完了", name);
  }
  return true;
}

}  // namespace orv
