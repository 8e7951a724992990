#include "ui/OptionDialog.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/CGlobal.h"
#include "app/GameFolder.h"
#include "app/LauncherApp.h"
#include "app/LauncherMode.h"
#include "platform/ControlIds.h"
#include "plugins/CPlugIn.h"
#include "ui/MainDialog.h"

namespace orv {

namespace {

constexpr std::size_t kLongestInput = 255;
// The number fields hold at least three digits; the local version field also
// holds every version the game folder can be at.
constexpr std::size_t kLongestNumber = 3;
// The list takes each cell's text up to a buffer of 260 bytes.
constexpr std::size_t kLongestCell = 259;

std::string Number(std::int32_t value)
{
  return std::to_string(value);
}

std::string Cell(const char* text)
{
  std::string cell = text ? text : "";
  if (cell.size() > kLongestCell)
    cell.resize(kLongestCell);
  return cell;
}

}  // namespace

bool CListView::Attach(View& view, int controlId)
{
  m_view = &view;
  m_controlId = controlId;
  return true;
}

OptionDialog::OptionDialog(CGlobal& global, CPlugIn& plugins, MainDialog& main)
    : m_global(global), m_plugins(plugins), m_main(main), m_view(global.platform().view)
{
}

std::string OptionDialog::FieldText(int controlId)
{
  std::string text = m_view.GetPanelText(controlId);
  if (text.size() > kLongestInput)
    text.resize(kLongestInput);
  return text;
}

void OptionDialog::OnInitDialog()
{
  m_view.SetPanelText(ctl::kOrvDirEdit, m_global.OrvDir);
  // Showing the local version is no edit of it: run through the field's
  // bounds it would turn 0 (no orv.ver) into 1, skipping the first step,
  // and a version too long for the field into 1, and the mode rule would
  // change the mode of a launcher that merely opened its options.
  const std::string local = Number(m_main.versions.localVersion);
  lastLocalVersionText = local;
  m_showingVersion = true;
  m_view.SetPanelText(ctl::kLocalVersionEdit, local.c_str());
  m_showingVersion = false;
  m_view.SetPanelText(ctl::kFileVersionEdit, Number(m_main.versions.fileVersion).c_str());
  m_view.SetPanelText(ctl::kUpdateStepEdit, Number(m_main.versions.updateStep).c_str());
  m_view.SetPanelCheck(ctl::kReStructCheck, m_global.ReStruct != 0);
  m_view.SetPanelCheck(ctl::kParallelPatchCheck, m_global.parallelPatch != 0);
  FillPluginList();
}

void OptionDialog::FillPluginList()
{
  pluginList.Attach(m_view, ctl::kPluginList);
  m_view.AddListColumn(ctl::kPluginList, "プラグイン名称", 90);
  m_view.AddListColumn(ctl::kPluginList, "Ver.", 90);
  m_view.AddListColumn(ctl::kPluginList, "説明", 400);
  for (const auto& record : m_plugins.Records())
    m_view.AddListRow(ctl::kPluginList, {Cell(record->info.name), Cell(record->info.version),
                                         Cell(record->info.description)});
}

void OptionDialog::OnCommand(int controlId, int notificationCode)
{
  switch (controlId) {
    case ctl::kBrowseButton:
      OnBrowseFolder();
      break;
    case ctl::kLocalVersionEdit:
      if (notificationCode == ctl::kEditUpdate)
        OnLocalVersionEdit();
      break;
    case ctl::kUpdateStepEdit:
      if (notificationCode == ctl::kEditUpdate)
        OnUpdateStepEdit();
      break;
    case ctl::kReStructCheck:
      m_global.ReStruct = m_view.PanelChecked(ctl::kReStructCheck) ? 1 : 0;
      break;
    case ctl::kParallelPatchCheck:
      m_global.parallelPatch = m_view.PanelChecked(ctl::kParallelPatchCheck) ? 1 : 0;
      break;
    case ctl::kRunPluginButton:
      OnRunPlugin();
      break;
    case ctl::kAddAttractionButton:
      OnAddAttractionId();
      break;
    case ctl::kAddKivoraButton:
      OnAddKivoraId();
      break;
    default:
      break;
  }
}

void OptionDialog::OnBrowseFolder()
{
  // The chooser copies every folder the user passes through into OrvDir; a
  // cancel must leave the game folder as it was, or the folder merely
  // browsed would be saved at exit.
  const std::string previous = m_global.OrvDir;
  if (ChooseGameFolder(m_global))
    m_view.SetPanelText(ctl::kOrvDirEdit, m_global.OrvDir);
  else
    CopyText(m_global.OrvDir, previous);
}

void OptionDialog::OnLocalVersionEdit()
{
  if (m_showingVersion)
    return;
  std::string text = FieldText(ctl::kLocalVersionEdit);
  const std::size_t longest =
      std::max(kLongestNumber, Number(m_main.versions.fileVersion).size());
  if (text.size() > longest) {
    m_view.SetPanelText(ctl::kLocalVersionEdit, lastLocalVersionText.c_str());
    return;
  }
  // Version 1 is always a valid choice: with no orv.ver (file version 0)
  // the two bounds would otherwise send the field back and forth forever.
  const std::int32_t highest = std::max<std::int32_t>(m_main.versions.fileVersion, 1);
  // As many digits as the highest version has may still be above what an
  // int holds: the text is read into a wider type.
  const long long typed = std::strtoll(text.c_str(), nullptr, 10);
  const auto version = static_cast<std::int32_t>(std::clamp<long long>(typed, 1, highest));
  if (version != typed) {
    text = Number(version);
    m_view.SetPanelText(ctl::kLocalVersionEdit, text.c_str());
  }
  lastLocalVersionText = text;
  m_main.versions.localVersion = version;

  const std::int32_t server = m_main.versions.serverVersion;
  const std::int32_t local = m_main.versions.localVersion;
  if (server > local)
    m_global.SetLauncherMode(kUpdate);
  else if (server == local)
    m_global.SetLauncherMode(kLogin);
}

void OptionDialog::OnUpdateStepEdit()
{
  const std::string text = FieldText(ctl::kUpdateStepEdit);
  if (text.size() > kLongestNumber) {
    m_view.SetPanelText(ctl::kUpdateStepEdit, lastUpdateStepText.c_str());
    return;
  }
  lastUpdateStepText = text;
  m_main.versions.updateStep = std::atoi(text.c_str());
}

void OptionDialog::OnRunPlugin()
{
  LauncherApp& app = m_global.app();
  if (m_view.ListRowCount(ctl::kPluginList) == 0) {
    app.ShowMessage("Error", "プラグインが登録されていません。");
    return;
  }
  const int row = m_view.ListSelectedRow(ctl::kPluginList);
  if (row < 0) {
    app.ShowMessage("Error", "プラグインが選択されていません。");
    return;
  }
  // The panel goes first: the plugin may take a while or open windows.
  if (m_main.optionShown)
    m_main.ToggleOptionDialog();
  const auto& records = m_plugins.Records();
  const PluginRecord* record =
      static_cast<std::size_t>(row) < records.size() ? records[static_cast<std::size_t>(row)].get()
                                                     : nullptr;
  if (record && record->plugLaunch)
    record->plugLaunch();
  else
    app.ShowMessage("Error", "実行しようとしたプラグインは関数が登録されていません");
}

void OptionDialog::OnAddAttractionId()
{
  const std::string text = FieldText(ctl::kAttractionEdit);
  if (text.empty()) {
    m_global.app().ShowMessage("Error", "登録するAccountIDが入力されていません");
    return;
  }
  AddAttractionId(m_global.accounts, m_main.selectedAccount, text);
  m_view.AddComboItem(ctl::kOrvAccountCombo, text.c_str());
  m_global.app().ShowMessage("Success", "AttractionIDを追加しました");
  m_view.SetPanelText(ctl::kAttractionEdit, "");
}

void OptionDialog::OnAddKivoraId()
{
  const std::string text = FieldText(ctl::kKivoraEdit);
  if (text.empty()) {
    m_global.app().ShowMessage("Error", "登録するKivoraIDが入力されていません");
    return;
  }
  AddAccount(m_global.accounts, text);
  m_view.AddComboItem(ctl::kKivoraIdCombo, text.c_str());
  m_global.app().ShowMessage("Success", "KivoraIDを追加しました");
  m_view.SetPanelText(ctl::kKivoraEdit, "");
}

}  // namespace orv
