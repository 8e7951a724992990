#include "ui/MainDialog.h"

#include <string>
#include <utility>

#include "app/CGlobal.h"
#include "app/LauncherApp.h"
#include "app/LauncherMode.h"
#include "app/ModuleVersionInfo.h"
#include "login/GameLaunch.h"
#include "login/Login.h"
#include "patcher/DownloadStore.h"
#include "patcher/Recovery.h"
#include "platform/ControlIds.h"
#include "plugins/CPlugIn.h"

namespace orv {

namespace {

constexpr std::size_t kLongestInput = 255;
constexpr unsigned kTimerPeriod = 1000;

std::string Cut(std::string text)
{
  if (text.size() > kLongestInput)
    text.resize(kLongestInput);
  return text;
}

}  // namespace

MainDialog::MainDialog(CGlobal& global, CPlugIn& plugins)
    : versionConnection(global),
      loginContext(global),
      stepPatcher(global, versions),
      parallelPatcher(global, versions),
      options(global, plugins, *this),
      m_global(global),
      m_plugins(plugins),
      m_view(global.platform().view)
{
  stepPatcher.onRunEnded = [this](bool reached) {
    if (reached)
      ArmAutoStart();
  };
}

MainDialog::~MainDialog()
{
  WaitForWorkers();
  if (optionShown) {
    m_view.HideOptionPanel();
    optionShown = false;
  }
  stepPatcher.CloseSession();
  parallelPatcher.TearDown();
  versionConnection.session.Close();
  loginContext.session.Close();
  m_view.StopTimer(ctl::kUpdateTimer);
  if (m_global.MainWindow() == &m_view)
    m_global.SetMainWindow(nullptr);
}

bool MainDialog::ValidAccount(int index) const
{
  return index >= 0 && static_cast<std::size_t>(index) < m_global.accounts.size();
}

// --- Window creation ---

void MainDialog::OnInitDialog()
{
  m_global.SetMainWindow(&m_view);

  ModuleVersionInfo own = {};
  ReadVersionInfo(m_global.platform().versions, m_global.platform().libraries.ProgramPath().c_str(),
                  own);
  m_view.SetWindowTitle(("OrvLauncher " + std::string(own.PrivateBuild)).c_str());
  m_view.CenterMainWindow();

  FillKivoraIdCombo();
  FillOrvAccountCombo(m_global.LastGID);
  ChooseLastOrvAccount();
  m_view.SelectComboItem(ctl::kKivoraIdCombo, m_global.LastGID);
  m_view.SelectComboItem(ctl::kOrvAccountCombo, m_global.LastAID);

  const std::uint32_t timeout = TimeoutMilliseconds(m_global.Timeout);
  if (HttpClient::Proxy proxy; !ProxyOfSetting(m_global.Proxy, proxy))
    m_global.WriteProcessLog("Proxyの設定が読めません[%s] システムの設定を使います",
                             m_global.Proxy);
  stepPatcher.OpenSession(timeout);
  parallelPatcher.SetUp(static_cast<std::size_t>(m_global.connectionCount), timeout);
  versionConnection.session.Open(timeout);
  loginContext.session.Open(timeout);

  StartConnectThread();
}

void MainDialog::FillKivoraIdCombo()
{
  const AccountList& accounts = m_global.accounts;
  if (accounts.empty())
    return;
  // Settings from another account list name an account that is not there.
  // With none chosen the boxes would show nothing, and the first keystroke
  // would rename the first account unseen: the window starts on it instead.
  if (!ValidAccount(m_global.LastGID))
    m_global.LastGID = 0;
  selectedAccount = accounts[0].kivoraId.empty() ? -1 : m_global.LastGID;
  for (const AccountEntry& account : accounts)
    m_view.AddComboItem(ctl::kKivoraIdCombo, account.kivoraId.c_str());
}

void MainDialog::FillOrvAccountCombo(int account)
{
  m_view.ResetCombo(ctl::kOrvAccountCombo);
  selectedOrvAccount = -1;
  if (!ValidAccount(account))
    return;
  const AccountEntry& entry = m_global.accounts[static_cast<std::size_t>(account)];
  selectedOrvAccount = entry.orvAccountIds.empty() ? -1 : 0;
  for (const std::string& id : entry.orvAccountIds)
    m_view.AddComboItem(ctl::kOrvAccountCombo, id.c_str());
  if (m_view.SelectComboItem(ctl::kOrvAccountCombo, 0))
    CopyText(m_global.orvAccountId, entry.orvAccountIds[0]);
  m_fillingPassword = true;
  m_view.SetControlText(ctl::kPasswordEdit, entry.password.c_str());
  m_fillingPassword = false;
}

void MainDialog::ChooseLastOrvAccount()
{
  if (selectedOrvAccount < 0)
    return;
  // The box shows id LastAID; a keystroke must edit that one, not the
  // account's first id, and plugins must see the id the game will be given.
  // A LastAID the account does not have shows the first.
  const AccountEntry& entry = m_global.accounts[static_cast<std::size_t>(m_global.LastGID)];
  if (m_global.LastAID < 0 ||
      static_cast<std::size_t>(m_global.LastAID) >= entry.orvAccountIds.size())
    m_global.LastAID = 0;
  selectedOrvAccount = m_global.LastAID;
  CopyText(m_global.orvAccountId,
           entry.orvAccountIds[static_cast<std::size_t>(selectedOrvAccount)]);
}

// --- The connect sequence ---

void MainDialog::StartConnectThread()
{
  if (!connectThread.Start(m_global, [this] { ConnectThreadProc(); })) {
    m_global.WriteProcessLog("サーバへの接続スレッドの起動に失敗しました");
    m_global.SetLauncherMode(kForceLogin);
  }
}

void MainDialog::ConnectThreadProc()
{
  m_view.EnableControl(ctl::kMainButton, false);
  m_plugins.SearchPlugIn();
  m_global.workerRun = 1;
  // An update cut short is settled before its version is read or the game
  // can be started; what cannot be settled now is said, and settled again
  // before any later update or start of the game.
  SettleGameFolder(m_global);
  if (!ReadLocalVersion(m_global, versions))
    m_global.SetLauncherMode(kForceLogin);
  else
    PruneDownloadStore(m_global, versions.localVersion + 1);
  FetchInformation(m_global, versionConnection);
  if (!CheckServerVersion(m_global, versions, versionConnection))
    m_global.SetLauncherMode(kForceLogin);
  m_global.autoUpdateArmed = 1;
  ArmAutoStart();
  m_view.StartTimer(ctl::kUpdateTimer, kTimerPeriod);
  m_view.EnableControl(ctl::kMainButton, true);
  m_view.EnableControl(ctl::kExitButton, true);
  m_view.EnableControl(ctl::kOptionButton, true);
}

// --- Buttons ---

void MainDialog::OnCommand(int controlId, int notificationCode)
{
  switch (controlId) {
    case ctl::kMainButton:
      OnMainButton();
      break;
    case ctl::kExitButton:
      OnExit();
      break;
    case ctl::kWebPageButton:
      OpenHomePage(m_global);
      break;
    case ctl::kOptionButton:
      ToggleOptionDialog();
      break;
    case ctl::kKivoraIdCombo:
      OnKivoraIdCombo(notificationCode);
      break;
    case ctl::kOrvAccountCombo:
      OnOrvAccountCombo(notificationCode);
      break;
    case ctl::kPasswordEdit:
      if (notificationCode == ctl::kEditUpdate)
        OnPasswordEdit();
      break;
    default:
      break;
  }
}

void MainDialog::OnMainButton()
{
  // Starting a worker may wait, with the window's events going on, for the
  // one before it to finish. A press meanwhile (Enter again, AutoStart's
  // tick) would start a second worker beside the first, and one once Exit
  // has begun would outlive the window.
  if (m_mainButtonBusy || m_exiting)
    return;
  m_mainButtonBusy = true;
  // The press acts on the mode as it stands: a check still waiting on the
  // server would change it under the action.
  StopPeriodicCheck();
  RunMainButtonAction();
  m_mainButtonBusy = false;
  if (std::exchange(m_exitRequested, false))
    OnExit();
}

void MainDialog::RunMainButtonAction()
{
  switch (m_global.launcherMode.load()) {
    case kUpdate:
      if (optionShown)
        ToggleOptionDialog();
      stepPatcher.Start();
      break;
    case kLogin:
    case kForceLogin:
      // The game must not start on archives a cut-short update left
      // half-changed.
      if (SettleGameFolder(m_global))
        StartLogin(m_global, loginContext, [this] { ArmAutoStart(); });
      break;
    case kGameStart:
      if (SettleGameFolder(m_global))
        LaunchGame(m_global, [this] { return m_plugins.CallPlugProc(); });
      break;
    default:
      break;
  }
}

void MainDialog::WaitForWorkers()
{
  // The connect and login threads may be waiting on a server that accepts
  // and never answers; they would see workerRun only at the time-out. These
  // sessions are not used again once their workers are waited for.
  versionConnection.session.Abort();
  loginContext.session.Abort();
  StopPeriodicCheck();
  WaitForWorker(stepPatcher);
  WaitForWorker(parallelPatcher);
  connectThread.Wait(m_global);
  loginContext.workerThread.Wait(m_global);
}

void MainDialog::OnExit()
{
  // Exit stays enabled while it waits for the workers with the window's
  // events going on: a second click, Esc or close request arrives inside
  // the first, and waiting again would join threads the first one joins.
  if (m_exiting)
    return;
  if (m_mainButtonBusy) {
    m_exitRequested = true;
    return;
  }
  m_exiting = true;
  // The connect and login threads use this window and the shared state as
  // much as the patch thread does: none may outlive them.
  WaitForWorkers();
  m_view.DestroyMainWindow();
}

void MainDialog::ToggleOptionDialog()
{
  optionShown = !optionShown;
  if (!optionShown) {
    m_view.HideOptionPanel();
    return;
  }
  if (!m_view.ShowOptionPanel(options))
    m_global.app().ShowMessage("Error", "エラー内容\n%s", m_view.LastErrorText().c_str());
}

// --- Account controls ---

void MainDialog::ApplyAccountModeRule()
{
  if (m_global.launcherMode > kLogin)
    m_global.SetLauncherMode(kLogin);
}

void MainDialog::OnKivoraIdCombo(int notificationCode)
{
  AccountList& accounts = m_global.accounts;
  if (notificationCode == ctl::kSelectionChange) {
    selectedAccount = m_view.ComboSelection(ctl::kKivoraIdCombo);
    m_global.LastGID = selectedAccount;
    FillOrvAccountCombo(selectedAccount);
  } else if (notificationCode == ctl::kEditChange) {
    const std::string text = Cut(m_view.GetControlText(ctl::kKivoraIdCombo));
    if (!ValidAccount(selectedAccount)) {
      if (accounts.empty())
        accounts.push_back({text, {}, {}});
      else
        accounts[0].kivoraId = text;
      m_view.AddComboItem(ctl::kKivoraIdCombo, text.c_str());
      selectedAccount = 0;
    } else {
      accounts[static_cast<std::size_t>(selectedAccount)].kivoraId = text;
      m_view.DeleteComboItem(ctl::kKivoraIdCombo, selectedAccount);
      m_view.InsertComboItem(ctl::kKivoraIdCombo, selectedAccount, text.c_str());
    }
  } else {
    return;
  }
  ApplyAccountModeRule();
}

void MainDialog::OnOrvAccountCombo(int notificationCode)
{
  AccountList& accounts = m_global.accounts;
  if (notificationCode == ctl::kSelectionChange) {
    selectedOrvAccount = m_view.ComboSelection(ctl::kOrvAccountCombo);
    m_global.LastAID = selectedOrvAccount;
    // The account whose ids the box lists; what the box shows when the
    // settings point elsewhere.
    const int account = m_global.LastGID;
    if (ValidAccount(account) && selectedOrvAccount >= 0 &&
        static_cast<std::size_t>(selectedOrvAccount) <
            accounts[static_cast<std::size_t>(account)].orvAccountIds.size())
      CopyText(m_global.orvAccountId, accounts[static_cast<std::size_t>(account)]
                                          .orvAccountIds[static_cast<std::size_t>(selectedOrvAccount)]);
    else
      CopyText(m_global.orvAccountId, Cut(m_view.GetControlText(ctl::kOrvAccountCombo)));
  } else if (notificationCode == ctl::kEditChange) {
    const std::string text = Cut(m_view.GetControlText(ctl::kOrvAccountCombo));
    CopyText(m_global.orvAccountId, text);
    if (accounts.empty()) {
      accounts.push_back({{}, {}, {text}});
      m_view.AddComboItem(ctl::kOrvAccountCombo, text.c_str());
      selectedOrvAccount = 0;
    } else {
      AccountEntry& target = accounts[ValidAccount(selectedAccount)
                                          ? static_cast<std::size_t>(selectedAccount)
                                          : 0];
      if (selectedOrvAccount < 0 ||
          static_cast<std::size_t>(selectedOrvAccount) >= target.orvAccountIds.size()) {
        target.orvAccountIds.push_back(text);
        m_view.AddComboItem(ctl::kOrvAccountCombo, text.c_str());
        // The next keystroke edits the id just added, not the first one.
        selectedOrvAccount = static_cast<int>(target.orvAccountIds.size()) - 1;
      } else {
        target.orvAccountIds[static_cast<std::size_t>(selectedOrvAccount)] = text;
        m_view.DeleteComboItem(ctl::kOrvAccountCombo, selectedOrvAccount);
        m_view.InsertComboItem(ctl::kOrvAccountCombo, selectedOrvAccount, text.c_str());
      }
    }
  } else {
    return;
  }
  ApplyAccountModeRule();
}

void MainDialog::OnPasswordEdit()
{
  // The window showing an account's password is no edit of it: written
  // back to another account (the first, with none chosen) it would replace
  // that account's password.
  if (m_fillingPassword)
    return;
  SetPassword(m_global.accounts, selectedAccount, Cut(m_view.GetControlText(ctl::kPasswordEdit)));
}

// --- Timer and AutoStart ---

void MainDialog::ArmAutoStart()
{
  if (m_global.AutoStart == 1)
    autoStartArmed = true;
}

void MainDialog::OnTimer(int)
{
  // The patch thread stops the timer only once it runs, so a tick already
  // due can come after the press of Update: none may act until the run has
  // ended. Nor while Exit waits for the workers.
  if (stepPatcher.Running() || m_exiting)
    return;
  for (const auto& record : m_plugins.Records())
    if (record->plugTimer)
      record->plugTimer();
  // A check beside the connect sequence or a sign-in would set the mode
  // under them; it waits for the next tick.
  if (!connectThread.Running() && !loginContext.workerThread.Running() &&
      AutoUpdateDue(m_global, versions))
    StartPeriodicCheck();
  // AutoStart acts on the mode a check in progress may still change, so it
  // waits for the check's end; a press of the player's cuts the check short.
  const bool checking = periodicCheck && periodicCheck->workerThread.Running();
  if (m_global.AutoStart == 1 && autoStartArmed && !checking && !m_mainButtonBusy &&
      m_view.IsControlEnabled(ctl::kMainButton)) {
    autoStartArmed = false;
    OnMainButton();
  }
}

void MainDialog::StartPeriodicCheck()
{
  // One check at a time: one still waiting on the server is let be.
  if (periodicCheck && periodicCheck->workerThread.Running())
    return;
  if (periodicCheck)
    periodicCheck->workerThread.Join();
  periodicCheck = std::make_unique<ConnectionContext>(m_global);
  periodicCheck->session.Open(TimeoutMilliseconds(m_global.Timeout));
  ConnectionContext& context = *periodicCheck;
  // Without a thread the check waits for its next turn: run here, it could
  // hold the window for the whole time-out.
  context.workerThread.Start(
      m_global, [this, &context] { PeriodicVersionCheck(m_global, versions, context); });
}

void MainDialog::StopPeriodicCheck()
{
  if (!periodicCheck)
    return;
  periodicCheck->session.Abort();
  periodicCheck->workerThread.Finish(m_view);
}

void MainDialog::OnDestroy()
{
  // The Kivora-ID box's extra item (the rename of a first account without
  // an id) or no item at all can leave LastGID outside the list; saved, it
  // would choose nothing at the next start.
  if (!ValidAccount(m_global.LastGID))
    m_global.LastGID = ValidAccount(selectedAccount) ? selectedAccount : 0;
  m_global.SaveAccounts();
  m_global.SaveSettings();
}

}  // namespace orv
