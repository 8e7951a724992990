#include "frontend/qt/DialogLayout.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QStyle>
#include <QTableWidget>
#include <algorithm>

#include "frontend/qt/Cp932Text.h"
#include "platform/ControlIds.h"

namespace orv::qt {

namespace {

using enum ControlKind;

// A combo box's template height is how far its list drops; closed, it is one
// line high, as tall as the single-line edits beside it.
constexpr int kClosedComboHeight = 14;

// How far inside its frame, or the window, a caption that had to move ends,
// as the templates keep theirs.
constexpr int kEdgeMargin = 4;

constexpr ControlTemplate kMainControls[] = {
    {Label, 0, "Information:", 5, 5, 60, 8, kPlain},
    {MultiLineEdit, ctl::kInformation, "", 4, 16, 135, 164, kReadOnly},
    {Label, 0, "ProcessLog:", 145, 5, 60, 8, kPlain},
    {ListBox, ctl::kProcessLog, "", 148, 16, 150, 144, kPlain},
    {Edit, ctl::kStatusLine, "", 148, 165, 150, 14, kReadOnly},
    {ProgressBar, ctl::kProgressBar, "", 148, 185, 150, 14, kPlain},
    {GroupBox, 0, "Account", 5, 190, 135, 70, kPlain},
    {Label, 0, "Kivora-ID", 9, 203, 45, 8, kPlain},
    {ComboBox, ctl::kKivoraIdCombo, "", 55, 200, 81, 30, kPlain},
    {Label, 0, "ORV-Account", 9, 223, 45, 8, kPlain},
    {ComboBox, ctl::kOrvAccountCombo, "", 55, 220, 81, 30, kPlain},
    {Label, 0, "Kivora-Pass", 9, 243, 45, 8, kPlain},
    {Edit, ctl::kPasswordEdit, "", 55, 240, 81, 14, kPassword},
    {DefaultButton, ctl::kMainButton, "GameStart", 148, 210, 50, 14, kDisabled},
    {PushButton, ctl::kOptionButton, "Option", 215, 210, 50, 14, kDisabled},
    {PushButton, ctl::kWebPageButton, "WebPage", 170, 240, 50, 14, kPlain},
    {PushButton, ctl::kExitButton, "Exit", 240, 240, 50, 14, kPlain},
};

constexpr ControlTemplate kPanelControls[] = {
    {Label, 0, "- Option -", 76, 5, 31, 8, kPlain},
    {Label, 0, "ORV Directory:", 5, 15, 44, 8, kPlain},
    {Edit, ctl::kOrvDirEdit, "", 5, 25, 130, 12, kReadOnly},
    {PushButton, ctl::kBrowseButton, "参照...", 140, 23, 40, 14, kPlain},
    {GroupBox, 0, "Update Setting:", 5, 46, 175, 44, kPlain},
    {Label, 0, "Ver.            /  ", 10, 63, 65, 8, kPlain},
    {Edit, ctl::kLocalVersionEdit, "", 25, 60, 20, 12, kDigitsOnly | kCentred},
    {Edit, ctl::kFileVersionEdit, "", 60, 60, 20, 12, kReadOnly | kCentred},
    {Label, 0, "Update           Step", 105, 63, 60, 8, kPlain},
    {Edit, ctl::kUpdateStepEdit, "", 127, 60, 20, 12, kDigitsOnly | kCentred},
    {CheckBox, ctl::kParallelPatchCheck, "パッチ当ての並列化", 11, 76, 65, 10, kHidden},
    {CheckBox, ctl::kReStructCheck, "適用ファイルを再構築", 106, 76, 70, 10, kPlain},
    {GroupBox, 0, "Account Setting:", 5, 100, 175, 50, kPlain},
    {Edit, ctl::kKivoraEdit, "", 10, 110, 85, 14, kPlain},
    {PushButton, ctl::kAddKivoraButton, "KivoraID追加", 110, 110, 60, 14, kPlain},
    {Edit, ctl::kAttractionEdit, "", 10, 130, 85, 14, kPlain},
    {PushButton, ctl::kAddAttractionButton, "AttractionID追加", 110, 130, 60, 14, kPlain},
    {Label, 0, "Plugin:", 5, 160, 20, 8, kPlain},
    {PushButton, ctl::kRunPluginButton, "プラグイン実行", 125, 155, 50, 14, kPlain},
    {ReportList, ctl::kPluginList, "", 5, 175, 175, 84, kPlain},
};

const DialogTemplate kMainWindow = {ctl::kMainDialogTemplate, 303, 263, kMainControls};
const DialogTemplate kOptionPanel = {ctl::kOptionDialogTemplate, 187, 264, kPanelControls};

// Windows rounds each mapped coordinate to the nearest pixel.
int MulDiv(int value, int numerator, int denominator)
{
  const long long product = static_cast<long long>(value) * numerator;
  const long long half = denominator / 2;
  return static_cast<int>(product >= 0 ? (product + half) / denominator
                                       : (product - half) / denominator);
}

QLineEdit* MakeEdit(QWidget& parent, unsigned style)
{
  auto* edit = new QLineEdit(&parent);
  edit->setReadOnly(style & kReadOnly);
  if (style & kCentred)
    edit->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
  if (style & kPassword) {
    edit->setEchoMode(QLineEdit::Password);
    edit->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
  }
  if (style & kDigitsOnly)
    edit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
  else if (!(style & kReadOnly))
    edit->setValidator(new Cp932Validator(edit));
  return edit;
}

QComboBox* MakeComboBox(QWidget& parent)
{
  auto* combo = new QComboBox(&parent);
  combo->setEditable(true);
  // The window decides what the list holds; Qt must neither add what was
  // typed nor complete it from the list while the user types.
  combo->setInsertPolicy(QComboBox::NoInsert);
  combo->setCompleter(nullptr);
  combo->setDuplicatesEnabled(true);
  combo->setValidator(new Cp932Validator(combo));
  // Enter in the box presses the window's default button, as in a dialog;
  // Qt would otherwise pick the list item that matches the text.
  QObject::disconnect(combo->lineEdit(), &QLineEdit::returnPressed, combo, nullptr);
  return combo;
}

QTableWidget* MakeReportList(QWidget& parent)
{
  auto* list = new QTableWidget(&parent);
  list->setShowGrid(true);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setFrameShadow(QFrame::Sunken);
  list->verticalHeader()->setVisible(false);
  list->verticalHeader()->setDefaultSectionSize(QFontMetrics(parent.font()).height() + 4);
  QHeaderView* header = list->horizontalHeader();
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  header->setHighlightSections(false);
  // The columns end at the list's edge (FitLastColumn), and a text longer
  // than its cell goes on over more lines, so that every column can be read
  // without scrolling.
  list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  list->setWordWrap(true);
  QObject::connect(header, &QHeaderView::sectionResized, list,
                   [list] { list->resizeRowsToContents(); });
  return list;
}

QWidget* MakeControl(QWidget& parent, const ControlTemplate& control)
{
  const QString text = QString::fromUtf8(control.text);
  switch (control.kind) {
    case Label: {
      auto* label = new QLabel(text, &parent);
      label->setTextFormat(Qt::PlainText);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      return label;
    }
    case GroupBox:
      return new QGroupBox(text, &parent);
    case Edit:
      return MakeEdit(parent, control.style);
    case MultiLineEdit: {
      auto* edit = new QPlainTextEdit(&parent);
      edit->setReadOnly(true);
      edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
      edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
      return edit;
    }
    case ListBox: {
      auto* list = new QListWidget(&parent);
      list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
      list->setUniformItemSizes(true);
      return list;
    }
    case ComboBox:
      return MakeComboBox(parent);
    case PushButton:
    case DefaultButton: {
      auto* button = new QPushButton(text, &parent);
      button->setAutoDefault(false);
      button->setDefault(control.kind == DefaultButton);
      return button;
    }
    case CheckBox:
      return new QCheckBox(text, &parent);
    case ProgressBar: {
      auto* bar = new QProgressBar(&parent);
      bar->setTextVisible(false);
      bar->setRange(0, 100);
      bar->setValue(0);
      return bar;
    }
    case ReportList:
      return MakeReportList(parent);
  }
  return nullptr;
}

// The right edge a control's caption may reach: that of the frame it stands
// in, else the window's.
int RightEdge(const QWidget& parent, const DialogTemplate& dialog, const ControlTemplate& control,
              const DialogUnits& units)
{
  for (const ControlTemplate& frame : dialog.controls)
    if (frame.kind == GroupBox && &frame != &control && control.x >= frame.x &&
        control.x < frame.x + frame.width && control.y >= frame.y &&
        control.y < frame.y + frame.height)
      return units.X(frame.x + frame.width - kEdgeMargin);
  return parent.width() - units.X(kEdgeMargin);
}

}  // namespace

QFont DialogFont()
{
  QFont font;
  font.setFamilies({QStringLiteral("MS UI Gothic"), QStringLiteral("IPAPGothic"),
                    QStringLiteral("IPAGothic"), QStringLiteral("Noto Sans CJK JP")});
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(9);
  return font;
}

DialogUnits::DialogUnits(const QFont& font)
{
  const QFontMetrics metrics(font);
  const int advance = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  m_baseX = (advance / 26 + 1) / 2;
  m_baseY = metrics.height();
}

int DialogUnits::X(int units) const
{
  return MulDiv(units, m_baseX, 4);
}

int DialogUnits::Y(int units) const
{
  return MulDiv(units, m_baseY, 8);
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const
{
  return QRect(X(x), Y(y), X(width), Y(height));
}

const DialogTemplate& MainWindowTemplate()
{
  return kMainWindow;
}

const DialogTemplate& OptionPanelTemplate()
{
  return kOptionPanel;
}

void FitLastColumn(QTableWidget& list)
{
  const int last = list.columnCount() - 1;
  if (last < 0)
    return;
  int before = 0;
  for (int column = 0; column < last; ++column)
    before += list.columnWidth(column);
  // Room is kept for the scroll bar that more rows bring.
  const int room =
      list.width() - 2 * list.frameWidth() - list.verticalScrollBar()->sizeHint().width() - before;
  const QHeaderView& header = *list.horizontalHeader();
  const QTableWidgetItem* title = list.horizontalHeaderItem(last);
  const int caption =
      QFontMetrics(header.font()).horizontalAdvance(title ? title->text() : QString()) +
      2 * header.style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, &header);
  list.setColumnWidth(last, std::max(std::min(list.columnWidth(last), room), caption));
}

std::map<int, QWidget*> CreateControls(QWidget& parent, const DialogTemplate& dialog,
                                       const DialogUnits& units)
{
  std::map<int, QWidget*> controls;
  for (const ControlTemplate& control : dialog.controls) {
    QWidget* widget = MakeControl(parent, control);
    const int height =
        control.kind == ComboBox ? std::min(control.height, kClosedComboHeight) : control.height;
    QRect place = units.Rect(control.x, control.y, control.width, height);
    // The templates were measured with a narrower font than the ones found
    // here: a caption that would be cut off takes the room it needs to its
    // right, and where that would pass its frame's or the window's edge it
    // moves left by what is missing, into the free room before it.
    if (control.kind == Label || control.kind == CheckBox) {
      const int wanted = widget->sizeHint().width();
      const int edge = RightEdge(parent, dialog, control, units);
      if (wanted > place.width()) {
        place.setWidth(std::min(wanted, edge));
        if (place.x() + place.width() > edge)
          place.moveLeft(edge - place.width());
      }
    }
    widget->setGeometry(place);
    widget->setEnabled(!(control.style & kDisabled));
    if (control.style & kHidden)
      widget->setVisible(false);
    if (control.id != 0) {
      widget->setObjectName(QStringLiteral("control%1").arg(control.id));
      controls[control.id] = widget;
    }
  }
  return controls;
}

}  // namespace orv::qt
