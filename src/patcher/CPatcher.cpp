#include "patcher/CPatcher.h"

#include <system_error>

#include "app/CGlobal.h"
#include "app/LauncherApp.h"
#include "app/LauncherMode.h"
#include "app/PathParts.h"
#include "patcher/ArchivePatch.h"
#include "patcher/DownloadStore.h"
#include "patcher/Recovery.h"
#include "patcher/WorkFolder.h"
#include "platform/ControlIds.h"

namespace orv {

CPatcher::CPatcher(CGlobal& global, VersionState& versions)
    : connection(global), m_global(global), m_versions(versions)
{
}

CPatcher::~CPatcher()
{
  // The owner waits for the thread first; this only keeps a forgotten one
  // from outliving the objects it uses.
  if (connection.workerThread.Running()) {
    m_global.workerRun = 0;
    connection.session.Abort();
  }
  connection.workerThread.Join();
}

void CPatcher::OpenSession(std::uint32_t timeoutMilliseconds)
{
  connection.session.Open(timeoutMilliseconds);
}

void CPatcher::CloseSession() { connection.session.Close(); }

void CPatcher::Start()
{
  m_global.workerRun = 1;
  if (!connection.workerThread.Start(m_global, [this] { PatchThreadProc(this); }))
    m_global.app().ShowMessage("Error", "パッチスレッドの起動に失敗しました");
}

void PatchThreadProc(CPatcher* patcher)
{
  View& view = patcher->m_global.platform().view;
  view.EnableControl(ctl::kMainButton, false);
  view.EnableControl(ctl::kOptionButton, false);
  view.EnableControl(ctl::kWebPageButton, false);
  view.StopTimer(ctl::kUpdateTimer);

  const bool reached = patcher->RunStepUpdate();

  view.EnableControl(ctl::kOptionButton, true);
  view.EnableControl(ctl::kExitButton, true);
  view.EnableControl(ctl::kMainButton, true);
  view.EnableControl(ctl::kWebPageButton, true);
  view.StartTimer(ctl::kUpdateTimer, 1000);
  if (patcher->onRunEnded)
    patcher->onRunEnded(reached);
}

void WaitForWorker(CPatcher& patcher)
{
  // A download waiting on the server would look at workerRun only when
  // the server answers or the time-out passes.
  if (patcher.connection.workerThread.Started())
    patcher.connection.session.Abort();
  patcher.connection.workerThread.Wait(patcher.m_global);
}

bool CPatcher::RunStepUpdate()
{
  View& view = m_global.platform().view;
  Clock& clock = m_global.platform().clock;
  enum class Outcome { Success, StepLimit, Failure };
  Outcome outcome = Outcome::Failure;
  std::int32_t countdown = m_versions.updateStep + 1;
  // A step that failed earlier in this run left its marker: what it left
  // half-done is settled before anything is applied again.
  const bool settled = SettleGameFolder(m_global);
  for (; settled;) {
    if (m_versions.localVersion == m_versions.serverVersion) {
      outcome = Outcome::Success;
      break;
    }
    if (!CreateWorkFolder(m_global))
      break;
    if (m_versions.updateStep != 0 && --countdown == 0) {
      outcome = Outcome::StepLimit;
      break;
    }
    const std::int32_t target = m_versions.localVersion + 1;
    const std::uint32_t t0 = clock.Milliseconds();
    if (!FetchDownloadList(target) || !DownloadStepFiles(target))
      break;
    const std::uint32_t t1 = clock.Milliseconds();
    m_global.WriteProcessLog("DownloadTime:%dsec", static_cast<int>((t1 - t0) / 1000));
    view.EnableControl(ctl::kExitButton, false);
    const std::uint32_t t2 = clock.Milliseconds();
    if (!ApplyStep())
      break;
    const std::uint32_t t3 = clock.Milliseconds();
    m_global.WriteProcessLog("PatchTime:%dsec", static_cast<int>((t3 - t2) / 1000));
    // Its orv.ver is on the disk: the step's files are not needed again.
    RemoveDownloadStore(m_global, target);
    downloadFolder.clear();
    view.EnableControl(ctl::kExitButton, true);
    // A step whose orv.ver does not move the version on would be fetched
    // and applied again and again; the server's step is broken.
    if (m_versions.localVersion < target) {
      m_global.WriteProcessLog("orv.verのバージョンが進んでいません Ver.%d",
                               static_cast<int>(m_versions.localVersion));
      break;
    }
  }

  const std::int32_t local = m_versions.localVersion;
  switch (outcome) {
    case Outcome::Success:
      m_global.WriteProcessLog("アップデートに成功しました Ver.%d", local);
      m_global.WriteStatus("--> Complete Ver.%d", local);
      m_global.SetLauncherMode(kLogin);
      break;
    case Outcome::StepLimit:
      m_global.WriteProcessLog("ステップアップデートの終了");
      m_global.SetLauncherMode(kForceLogin);
      break;
    case Outcome::Failure:
      m_global.WriteProcessLog("アップデートに失敗しました Ver.%d/%d", local,
                               static_cast<int>(m_versions.serverVersion));
      m_global.WriteStatus("--> Failed");
      m_global.SetLauncherMode(kUpdate);
      break;
  }
  DeleteWorkFolder(m_global);
  return outcome == Outcome::Success;
}

bool CPatcher::ApplyStep()
{
  const std::int32_t local = m_versions.localVersion;
  m_global.WriteProcessLog("パッチあての開始 %d->%d", local, local + 1);
  if (!StageListedFiles())
    return false;
  if (!ExtractCabinets()) {
    m_global.WriteProcessLog("cabの解凍に失敗しました。");
    // A cabinet that arrived damaged would fail the same way on every try:
    // the next one fetches the step anew.
    if (!downloadFolder.empty()) {
      DeleteTree(m_global, downloadFolder);
      m_global.WriteProcessLog("ダウンロードしたファイルを破棄しました");
    }
    return false;
  }
  // Nothing of the game folder has changed yet; from here on the marker
  // names what the step changes.
  if (!ReadAddList() || !MarkGameFolderChanging(m_global, local + 1, StepChanges()))
    return false;
  if (!ApplyPatchFiles()) {
    m_global.WriteProcessLog("パッチの適用に失敗しました。");
    return false;
  }
  if (!PlaceFiles()) {
    m_global.WriteProcessLog("ファイルの移動に失敗しました。");
    return false;
  }
  // The step, its orv.ver last, is on the disk.
  UnmarkGameFolderChanging(m_global);
  // The next step must not find this one's files.
  if (!DeleteWorkFolder(m_global)) {
    m_global.WriteProcessLog("テンポラリの削除に失敗しました。");
    return false;
  }
  if (!ReadLocalVersion(m_global, m_versions)) {
    m_global.WriteProcessLog("バージョンの取得に失敗しました。");
    return false;
  }
  m_global.WriteProcessLog("パッチあて終了");
  m_global.WriteProcessLog("Ver. %d/%d", static_cast<int>(m_versions.localVersion),
                           static_cast<int>(m_versions.serverVersion));
  return true;
}

bool CPatcher::ApplyPatchFiles() { return orv::ApplyPatchFiles(m_global); }

StepChanges CPatcher::StepChanges() const
{
  orv::StepChanges changes;
  std::vector<std::string> patches;
  FindPatchFiles(m_global, patches);
  for (const std::string& patch : patches)
    changes.archives.push_back(PatchedArchive(patch));
  std::set<std::string> folders{""};
  for (const std::string& entry : addList) {
    const PathParts parts = SplitPath(entry);
    std::string folder = parts.drive + parts.folder;
    if (!folder.empty() && folder.back() == '\\')
      folder.pop_back();
    folders.insert(folder);
  }
  changes.folders.assign(folders.begin(), folders.end());
  return changes;
}

CPatcherT::CPatcherT(CGlobal& global, VersionState& versions) : CPatcher(global, versions) {}

CPatcherT::~CPatcherT() { TearDown(); }

void CPatcherT::SetUp(std::size_t connectionCount, std::uint32_t timeoutMilliseconds)
{
  pool.clear();
  for (std::size_t i = 0; i < connectionCount; ++i)
    pool.push_back(std::make_unique<ConnectionContext>(m_global));
  OpenSession(timeoutMilliseconds);
  for (auto& context : pool)
    context->session.Open(timeoutMilliseconds);
}

void CPatcherT::TearDown()
{
  for (auto& context : pool)
    context->session.Close();
}

}  // namespace orv
