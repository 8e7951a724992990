#pragma once

#include <string>

#include "platform/View.h"

namespace orv {

class CGlobal;
class CPlugIn;
class MainDialog;

// The options panel's plugin list: a thin wrapper over the panel's list
// control.
class CListView {
 public:
  virtual ~CListView() = default;
  // Binds the wrapper to the list control of the panel; true when it does.
  virtual bool Attach(View& view, int controlId);
  // No list notification needs handling.
  virtual bool OnNotify(std::uint32_t, std::uint32_t, std::uint32_t) { return true; }

  int controlId() const { return m_controlId; }

 private:
  View* m_view = nullptr;
  int m_controlId = 0;
};

// The options panel beside the main window: the game folder, the local
// version and the step limit of the next update, the rebuild switch,
// accounts to add, and the plugins to run. The object outlives the panel,
// which is made anew each time it is shown.
class OptionDialog : public DialogHandler {
 public:
  OptionDialog(CGlobal& global, CPlugIn& plugins, MainDialog& main);

  void OnInitDialog() override;
  void OnCommand(int controlId, int notificationCode) override;
  void OnTimer(int) override {}
  void OnDestroy() override {}

  void OnBrowseFolder();
  void OnLocalVersionEdit();
  void OnUpdateStepEdit();
  void OnRunPlugin();
  void OnAddAttractionId();
  void OnAddKivoraId();
  void FillPluginList();

  std::string lastLocalVersionText;
  std::string lastUpdateStepText;
  CListView pluginList;

 private:
  std::string FieldText(int controlId);

  CGlobal& m_global;
  CPlugIn& m_plugins;
  MainDialog& m_main;
  View& m_view;
  // While the panel puts the current local version into its field.
  bool m_showingVersion = false;
};

}  // namespace orv
