#include "plugins/CPlugIn.h"

#include <mutex>
#include <string>

#include "app/CGlobal.h"
#include "app/LauncherApp.h"
#include "app/PathParts.h"
#include "platform/ErrorCodes.h"

namespace orv {

namespace {

// PlugInfo may have been written to remove its argument itself or to leave
// that to the caller. On 32-bit x86 the two differ, so the call keeps the
// stack pointer in a register that survives it and puts it back afterwards.
void CallPlugInfo(PlugInfoFunction plugInfo, PluginInfo* info)
{
#if defined(__i386__) && defined(__GNUC__)
  asm volatile(
      "movl %%esp, %%esi\n\t"
      "pushl %1\n\t"
      "call *%0\n\t"
      "movl %%esi, %%esp\n\t"
      :
      : "r"(plugInfo), "r"(info)
      : "esi", "eax", "ecx", "edx", "memory", "cc");
#else
  plugInfo(info);
#endif
}

}  // namespace

CPlugIn::CPlugIn(CGlobal& global) : m_global(global) {}

CPlugIn::~CPlugIn()
{
  UnloadAll();
}

bool CPlugIn::SearchPlugIn()
{
  const std::string folder = std::string(m_global.app().startDir) + "\\Plugin\\";
  std::vector<FoundFile> found;
  const std::uint32_t error =
      m_global.platform().files.FindFiles((folder + "*.opg").c_str(), found);
  if (error == err::kFileNotFound) {
    m_global.WriteProcessLog("プラグインが見つかりませんでした");
    return true;
  }
  if (error != 0) {
    m_global.WriteProcessLog("CPlugIn::SearchPlugIn ErrCode:[%d]", static_cast<int>(error));
    return false;
  }

  m_global.WriteProcessLog("プラグインの登録中…");
  for (const FoundFile& entry : found) {
    // Folders are no plugins. A file without any other attribute is
    // reported as "normal" (0x80) and is a plugin like any other.
    if (entry.name == "." || entry.name == ".." || (entry.attributes & kAttributeDirectory))
      continue;
    const std::string path = folder + entry.name;
    m_global.WriteProcessLog("%sを登録しています", entry.name.c_str());
    if (LoadPlugIn(path.c_str()))
      m_global.WriteProcessLog("%sの登録が完了しました", entry.name.c_str());
    else
      m_global.WriteProcessLog("%sの登録に失敗しました", entry.name.c_str());
  }
  m_global.WriteProcessLog("プラグインの登録が終わりました");
  return true;
}

bool CPlugIn::LoadPlugIn(const char* path)
{
  auto record = std::make_unique<PluginRecord>();
  bool kept = false;
  try {
    kept = LoadPlugInGuarded(path, *record);
  } catch (...) {
    m_global.WriteProcessLog("プラグインの登録時に例外を検出しました");
  }
  if (kept) {
    m_records.push_back(std::move(record));
    return true;
  }
  // Released only once the exception (if any) is over: a plugin's exception
  // may be ended by code that lives in the plugin itself.
  if (record->module)
    m_global.platform().libraries.Free(record->module);
  return false;
}

bool CPlugIn::LoadPlugInGuarded(const char* path, PluginRecord& record)
{
  DynamicLibraries& libraries = m_global.platform().libraries;
  record.module = libraries.Load(path);
  if (!record.module) {
    LinkFailed(path, libraries.LoadFailure());
    return false;
  }
  if (!CopyText(record.path, path)) {
    // A cut path would name another file; such a plugin cannot be listed.
    LinkFailed(path,
               "its path is longer than " + std::to_string(sizeof record.path - 1) + " bytes");
    return false;
  }
  record.plugLaunch =
      reinterpret_cast<PlugLaunchFunction>(libraries.Symbol(record.module, "PlugLaunch"));
  if (!record.plugLaunch) {
    std::lock_guard guard(m_global.lock);
    m_global.WriteProcessLog("PlugLaunch関数の登録に失敗しました");
    m_global.WriteLogFileLine("  cause: %s: the library exports no PlugLaunch", path);
    return false;
  }
  record.plugInfo = reinterpret_cast<PlugInfoFunction>(libraries.Symbol(record.module, "PlugInfo"));
  record.plugProc = reinterpret_cast<PlugProcFunction>(libraries.Symbol(record.module, "PlugProc"));
  record.plugTimer =
      reinterpret_cast<PlugTimerFunction>(libraries.Symbol(record.module, "PlugTimer"));
  FillInfo(record);
  return true;
}

void CPlugIn::LinkFailed(const char* path, const std::string& why)
{
  std::lock_guard guard(m_global.lock);
  m_global.WriteProcessLog("プラグインのリンクに失敗しました");
  m_global.WriteLogFileLine("  cause: %s: %s", path,
                            why.empty() ? "the library could not be loaded" : why.c_str());
}

void CPlugIn::FillInfo(PluginRecord& record)
{
  if (ReadVersionInfo(m_global.platform().versions, record.path, record.versionInfo)) {
    record.info.name = record.versionInfo.ProductName;
    record.info.description = record.versionInfo.Comments;
    record.info.version = record.versionInfo.PrivateBuild;
    return;
  }
  if (record.plugInfo) {
    CallPlugInfo(record.plugInfo, &record.info);
    return;
  }
  CopyText(record.fileName, SplitPath(record.path).name);
  record.info.name = record.fileName;
}

bool CPlugIn::CallPlugProc()
{
  for (const std::unique_ptr<PluginRecord>& record : m_records) {
    if (!record->plugProc)
      continue;
    // Plugins written with a one-byte result leave the upper bytes as they
    // happen to be: only the low byte counts, and only 1 is yes.
    const unsigned answer = static_cast<unsigned>(record->plugProc()) & 0xFFu;
    if (answer == 1)
      return true;
  }
  return false;
}

void CPlugIn::UnloadAll()
{
  for (const std::unique_ptr<PluginRecord>& record : m_records)
    m_global.platform().libraries.Free(record->module);
  m_records.clear();
}

}  // namespace orv
