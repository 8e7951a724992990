#include "patcher/VersionCheck.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/CGlobal.h"
#include "app/LauncherMode.h"
#include "net/ConnectionContext.h"
#include "net/Download.h"
#include "platform/ControlIds.h"

namespace orv {

namespace {

constexpr int kTicksBetweenChecks = 600;

}  // namespace

bool ParseVersion(const char* text, std::size_t size, std::int32_t& version)
{
  // strtol needs a terminated text; a version is a short number near the start.
  const std::string head(text, std::min<std::size_t>(size, 255));
  const char* start = head.c_str();
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(start, &end, 10);
  if (end == start || errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
    return false;
  version = static_cast<std::int32_t>(value);
  return true;
}

bool ReadLocalVersion(CGlobal& global, VersionState& versions)
{
  const std::string path = std::string(global.OrvDir) + "\\orv.ver";
  std::FILE* file = global.platform().files.OpenFile(path.c_str(), "r");
  if (!file) {
    global.WriteProcessLog("orv.verのオープンに失敗しました");
    return false;
  }
  char head[256] = {};
  const std::size_t size = std::fread(head, 1, sizeof head - 1, file);
  std::fclose(file);
  std::int32_t version = 0;
  if (!ParseVersion(head, size, version)) {
    // An unreadable version must not pass for version 0 or anything else.
    global.WriteProcessLog("orv.verのバージョンが読めません");
    return false;
  }
  versions.localVersion = version;
  versions.fileVersion = version;
  global.WriteProcessLog("FileVer:%d", version);
  return true;
}

bool FetchInformation(CGlobal& global, ConnectionContext& connection)
{
  global.WriteProcessLog("Infomationを取得中");
  const Deployment& deployment = global.deployment();
  View& view = global.platform().view;
  if (!DownloadToMemory(global, "/client/info.txt", connection, deployment.infoHost.c_str(),
                        deployment.infoPort)) {
    global.WriteProcessLog("Infomationの取得に失敗");
    view.SetControlText(ctl::kInformation, "Infomationの取得が行えませんでした");
    return false;
  }
  const std::string text(connection.body.begin(), connection.body.end());
  view.SetControlText(ctl::kInformation, text.c_str());
  global.WriteProcessLog("Infomationの取得終了");
  return true;
}

bool CheckServerVersion(CGlobal& global, VersionState& versions, ConnectionContext& connection)
{
  global.WriteProcessLog("バージョン情報を取得");
  const Deployment& deployment = global.deployment();
  std::int32_t server = 0;
  if (!DownloadToMemory(global, "/orv/orvnew.ver", connection, deployment.patchHost.c_str(),
                        deployment.patchPort) ||
      !ParseVersion(reinterpret_cast<const char*>(connection.body.data()), connection.body.size(),
                    server)) {
    global.WriteProcessLog("バージョン情報の取得に失敗");
    return false;
  }
  versions.serverVersion = server;
  const std::int32_t local = versions.localVersion;
  global.WriteProcessLog("バージョン情報の取得終了");
  global.WriteProcessLog("Ver. %d/%d", local, server);
  global.WriteStatus("--> Ver. %d/%d", local, server);
  global.SetLauncherMode(server == local ? kLogin : kUpdate);
  return true;
}

bool AutoUpdateDue(CGlobal& global, VersionState& versions)
{
  if (global.autoUpdateArmed == 0)
    return false;
  const bool due = versions.autoUpdateTicks == 0;
  versions.autoUpdateTicks = (versions.autoUpdateTicks + 1) % kTicksBetweenChecks;
  return due;
}

void PeriodicVersionCheck(CGlobal& global, VersionState& versions, ConnectionContext& connection)
{
  global.WriteProcessLog("自動更新確認");
  CheckServerVersion(global, versions, connection);
  global.WriteProcessLog("自動更新確認の終了");
}

}  // namespace orv
