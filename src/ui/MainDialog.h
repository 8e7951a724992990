#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "app/WorkerThread.h"
#include "net/ConnectionContext.h"
#include "patcher/CPatcher.h"
#include "patcher/VersionCheck.h"
#include "platform/View.h"
#include "ui/OptionDialog.h"

namespace orv {

class CGlobal;
class CPlugIn;

// The main window: the launcher mode machine behind the main button, the
// account controls, the connect sequence, the one-second timer, the options
// panel and the orderly end. Written against the view; the window thread
// calls its handlers, workers report through the shared state and the view.
class MainDialog : public DialogHandler {
 public:
  MainDialog(CGlobal& global, CPlugIn& plugins);
  // The teardown: the options panel, every session, the timer. Workers
  // still running are stopped and joined first.
  ~MainDialog() override;

  MainDialog(const MainDialog&) = delete;
  MainDialog& operator=(const MainDialog&) = delete;

  // --- Notifications of the window ---
  void OnInitDialog() override;
  void OnCommand(int controlId, int notificationCode) override;
  void OnTimer(int timerId) override;
  // Saves the accounts, then the settings: the only place either is saved.
  void OnDestroy() override;

  void StartConnectThread();
  void ConnectThreadProc();
  void OnMainButton();
  // Stops every worker, waiting while the window goes on, then destroys
  // the window.
  void OnExit();
  void ToggleOptionDialog();
  void OnKivoraIdCombo(int notificationCode);
  void OnOrvAccountCombo(int notificationCode);
  void OnPasswordEdit();
  void FillKivoraIdCombo();
  void FillOrvAccountCombo(int account);
  // Every worker of the window, the connect and login threads included.
  void WaitForWorkers();
  // The periodic check of the server version runs on a worker of its own,
  // with a session of its own, so that a server that never answers holds
  // neither the window nor the sessions of the other workers.
  void StartPeriodicCheck();
  // Cuts a check in progress short and waits for its worker.
  void StopPeriodicCheck();

  WorkerThread connectThread;
  ConnectionContext versionConnection;
  ConnectionContext loginContext;
  VersionState versions;
  std::unique_ptr<ConnectionContext> periodicCheck;
  CPatcher stepPatcher;
  CPatcherT parallelPatcher;
  OptionDialog options;
  bool optionShown = false;
  int selectedAccount = -1;
  int selectedOrvAccount = -1;
  // Set when the next main button action may run by itself (AutoStart=1):
  // at the end of the connect sequence, after a patch run that reached the
  // server version and after a login that got the password. A tick clears
  // it before it acts, so a failure is never retried on its own.
  std::atomic<bool> autoStartArmed{false};

 private:
  // After a change of the Kivora ID or the ORV account: a password obtained
  // for the old one is of no use.
  void ApplyAccountModeRule();
  void ArmAutoStart();
  bool ValidAccount(int index) const;

  void RunMainButtonAction();
  // The ORV account the box shows is the one its handlers edit.
  void ChooseLastOrvAccount();

  CGlobal& m_global;
  CPlugIn& m_plugins;
  View& m_view;
  // While the window itself puts an account's password into the field.
  bool m_fillingPassword = false;
  // The main button and Exit may wait for workers while the window's events
  // go on; these keep a press that arrives meanwhile from acting inside
  // them. Exit is not lost: one asked for during the main button's wait
  // runs when that wait is over.
  bool m_mainButtonBusy = false;
  bool m_exitRequested = false;
  bool m_exiting = false;
};

}  // namespace orv
