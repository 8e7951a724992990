#pragma once

// Dialog templates and control ids of the main window and the options panel:
// part of the view's contract, beside View.h. The workers (network, login,
// patcher) name the controls they drive by these ids, so the ids stand below
// every subsystem rather than with the dialogs that handle them.
namespace orv::ctl {

inline constexpr int kMainDialogTemplate = 101;
inline constexpr int kOptionDialogTemplate = 102;

// Main window
inline constexpr int kMainButton = 1;  // default id: Enter presses it
inline constexpr int kExitButton = 2;  // cancel id: Esc presses it
inline constexpr int kWebPageButton = 3;
inline constexpr int kInformation = 1001;
inline constexpr int kProcessLog = 1002;
inline constexpr int kProgressBar = 1003;
inline constexpr int kOptionButton = 1013;
inline constexpr int kKivoraIdCombo = 1019;
inline constexpr int kPasswordEdit = 1020;
inline constexpr int kOrvAccountCombo = 1021;
inline constexpr int kStatusLine = 1022;

// Options panel
inline constexpr int kBrowseButton = 1006;
inline constexpr int kOrvDirEdit = 1007;
inline constexpr int kLocalVersionEdit = 1008;
inline constexpr int kUpdateStepEdit = 1010;
inline constexpr int kFileVersionEdit = 1011;
inline constexpr int kReStructCheck = 1012;
inline constexpr int kParallelPatchCheck = 1013;
inline constexpr int kPluginList = 1015;
inline constexpr int kRunPluginButton = 1016;
inline constexpr int kAddAttractionButton = 1017;
inline constexpr int kAddKivoraButton = 1018;
inline constexpr int kAttractionEdit = 1023;
inline constexpr int kKivoraEdit = 1024;

inline constexpr int kUpdateTimer = 1;

// Notification codes of OnCommand.
inline constexpr int kClicked = 0;          // a button
inline constexpr int kSelectionChange = 1;  // a combo box: the user picked an item
inline constexpr int kEditChange = 5;       // a combo box: the user changed its text
inline constexpr int kEditUpdate = 0x400;   // an edit field: its text changed

}  // namespace orv::ctl
