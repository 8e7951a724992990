#pragma once

#include <QFont>
#include <QRect>
#include <cstddef>
#include <map>
#include <span>

class QTableWidget;
class QWidget;

namespace orv::qt {

// The font of both dialogs: 9 points of the Windows UI gothic, else of a
// Japanese gothic that is installed, so that the Japanese captions render.
QFont DialogFont();

// Dialog units as the Windows dialog manager measures them: a quarter of
// the font's average character width across, an eighth of its height down.
// The templates below are written in them, so the windows keep their
// proportions whatever font they get.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  int X(int units) const;
  int Y(int units) const;
  QRect Rect(int x, int y, int width, int height) const;

 private:
  int m_baseX;
  int m_baseY;
};

enum class ControlKind {
  Label,
  GroupBox,
  Edit,           // single line
  MultiLineEdit,  // read only, vertical scroll bar, wrapped lines
  ListBox,
  ComboBox,       // editable drop-down
  PushButton,
  DefaultButton,
  CheckBox,
  ProgressBar,
  ReportList,  // columns with titles, grid lines, one whole row selected
};

enum ControlStyle : unsigned {
  kPlain = 0,
  kReadOnly = 1u << 0,
  kPassword = 1u << 1,
  kDigitsOnly = 1u << 2,
  kCentred = 1u << 3,
  kDisabled = 1u << 4,
  kHidden = 1u << 5,
};

struct ControlTemplate {
  ControlKind kind;
  int id;            // 0 for the captions and frames nobody addresses
  const char* text;  // UTF-8
  int x, y, width, height;  // dialog units
  unsigned style;
};

struct DialogTemplate {
  int id;
  int width, height;  // dialog units
  std::span<const ControlTemplate> controls;
};

const DialogTemplate& MainWindowTemplate();   // 101
const DialogTemplate& OptionPanelTemplate();  // 102

// Creates the template's controls on parent, in template order (which is
// the tab order and the stacking order: a field drawn over a caption comes
// later), and answers those that have an id. Each control is named
// "control<id>" for anyone who needs to find it.
// The widths a report list's columns are given are pixels of the Windows
// list, whose font is narrower: the last column would run far past the
// window's edge. Here it ends at the list's edge instead, and is never
// narrower than its caption.
void FitLastColumn(QTableWidget& list);

std::map<int, QWidget*> CreateControls(QWidget& parent, const DialogTemplate& dialog,
                                       const DialogUnits& units);

}  // namespace orv::qt
