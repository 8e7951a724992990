// The download phase of a step: dl_list.txt and the files it names.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/CGlobal.h"
#include "net/Download.h"
#include "patcher/CPatcher.h"
#include "patcher/SafePath.h"

namespace orv {

namespace {

// "/D%08d/<name>": the server folder of the step that produces `version`.
std::string StepPath(std::int32_t version, const char* name)
{
  char folder[32];
  std::snprintf(folder, sizeof folder, "/D%08d/", static_cast<int>(version));
  return folder + std::string(name);
}

}  // namespace

bool CPatcher::FetchDownloadList(std::int32_t version)
{
  const std::string path = StepPath(version, "dl_list.txt");
  m_global.WriteProcessLog("dl_list.txtをダウンロード");
  if (!DownloadToFile(m_global, connection, path.c_str(), "dl_list.txt")) {
    m_global.WriteProcessLog("dl_list.txtのダウンロードに失敗");
    return false;
  }
  m_global.WriteProcessLog("dl_list.txtのダウンロードの完了");
  return ReadDownloadList();
}

bool CPatcher::ReadDownloadList()
{
  m_global.WriteProcessLog("dl_list.txtを読み込み");
  downloadList.clear();
  const std::string path = std::string(m_global.startDir) + "\\_temp\\dl_list.txt";
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
  const std::size_t count = downloadList.size();
  for (std::size_t i = 0; i < count; ++i) {
    const char* name = downloadList[i].name;
    const std::string path = StepPath(version, name);
    m_global.WriteProcessLog("%sをダウンロード %d/%d", name, static_cast<int>(i + 1),
                             static_cast<int>(count));
    if (!DownloadToFile(m_global, connection, path.c_str(), name)) {
      m_global.WriteProcessLog("%sのダウンロードに失敗", name);
      return false;
    }
    m_global.WriteProcessLog("%sのダウンロードの完了", name);
  }
  return true;
}

}  // namespace orv
