#include "frontend/qt/QtView.h"

#include <QAbstractButton>
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <thread>
#include <utility>

#include "frontend/qt/Cp932Text.h"
#include "platform/ControlIds.h"

namespace orv::qt {

namespace {

constexpr const char* kNoSuchTemplate =
    "The specified resource type cannot be found in the image file.";
constexpr const char* kAlreadyOpen = "The main window is already open.";
constexpr const char* kNotWindowThread = "A window can only be run on the window thread.";
constexpr const char* kNoMainWindow = "Invalid window handle.";

// Windows' timers fire at most this often, whatever is asked of them.
constexpr unsigned kShortestTimerPeriod = 10;

// The edit controls keep CR LF line ends in their text; Qt shows LF.
QString ShownLines(std::string_view text)
{
  QString shown = FromCp932(text);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return shown;
}

std::string StoredLines(QString text)
{
  text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
  return ToCp932(text);
}

// A log item carries the CR LF of the line it was written as; the list
// shows the line.
QString LogItemText(std::string_view item)
{
  if (item.size() >= 2 && item.substr(item.size() - 2) == "\r\n")
    item.remove_suffix(2);
  return FromCp932(item);
}

void Centre(QWidget& window)
{
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen)
    return;
  const QRect area = screen->availableGeometry();
  const QSize size = window.frameGeometry().size();
  window.move(area.x() + (area.width() - size.width()) / 2,
              area.y() + (area.height() - size.height()) / 2);
}

}  // namespace

// The main window: a captioned window without a system menu, so without a
// close box. A close from the window manager, Enter and Esc are handed to
// the view, which treats them as the dialog manager treats a dialog's.
class MainWindowWidget final : public QWidget {
 public:
  MainWindowWidget(std::function<void()> onClose, std::function<bool(int key)> onKey)
      : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
        m_onClose(std::move(onClose)),
        m_onKey(std::move(onKey))
  {
    setObjectName(QStringLiteral("dialog%1").arg(ctl::kMainDialogTemplate));
  }

 protected:
  void closeEvent(QCloseEvent* event) override
  {
    // The window goes only through its own logic (Exit), never here.
    event->ignore();
    m_onClose();
  }

  void keyPressEvent(QKeyEvent* event) override
  {
    if (!m_onKey(event->key()))
      QWidget::keyPressEvent(event);
  }

  // The combo boxes act on Enter and Esc themselves; a dialog's keys come
  // first.
  bool eventFilter(QObject* watched, QEvent* event) override
  {
    if (event->type() == QEvent::KeyPress) {
      const int key = static_cast<QKeyEvent*>(event)->key();
      if ((key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) && m_onKey(key))
        return true;
    }
    return QWidget::eventFilter(watched, event);
  }

 private:
  std::function<void()> m_onClose;
  std::function<bool(int key)> m_onKey;
};

namespace {

// The folder chooser. Every change of what it would answer (a folder
// highlighted, a folder entered, a path typed into its name field) goes to
// the launcher, whose answer enables OK; QFileDialog's own rules for the
// button are applied first and the launcher's over them, and a confirmation
// by button or by Enter is only taken for a folder the launcher accepted.
class FolderChooser final : public QFileDialog {
 public:
  FolderChooser(const QString& title, const std::function<bool(const char* path)>& onSelection)
      : QFileDialog(nullptr, title, QStringLiteral("/")), m_onSelection(onSelection)
  {
    setOption(QFileDialog::DontUseNativeDialog);
    setOption(QFileDialog::ShowDirsOnly);
    setFileMode(QFileDialog::Directory);
    setAcceptMode(QFileDialog::AcceptOpen);
    if (auto* buttons = findChild<QDialogButtonBox*>())
      m_ok = buttons->button(QDialogButtonBox::Open);
    if (m_ok)
      m_ok->installEventFilter(this);
    connect(this, &QFileDialog::currentChanged, this, [this](const QString& path) {
      Select(path.isEmpty() ? Choice() : path);
    });
    connect(this, &QFileDialog::directoryEntered, this, [this] { Select(Choice()); });
    if (auto* name = findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
      connect(name, &QLineEdit::textChanged, this, [this] { Select(Choice()); });
    Select(Choice());
  }

  void accept() override
  {
    Select(Choice());
    if (m_allowed)
      QFileDialog::accept();
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override
  {
    if (watched == m_ok && event->type() == QEvent::EnabledChange && m_ok->isEnabled() &&
        !m_allowed)
      m_ok->setEnabled(false);
    return QFileDialog::eventFilter(watched, event);
  }

 private:
  // The folder OK would answer now.
  QString Choice() const
  {
    const QStringList chosen = selectedFiles();
    return chosen.isEmpty() ? directory().absolutePath() : chosen.first();
  }

  void Select(const QString& path)
  {
    if (m_reported && *m_reported == path)
      return;
    m_reported = path;
    if (HasCp932Form(path)) {
      const std::string bytes = ToCp932(path);
      m_allowed = m_onSelection(bytes.c_str());
    } else {
      // A folder the launcher cannot name has no path for it.
      m_allowed = m_onSelection(nullptr);
    }
    if (m_ok)
      m_ok->setEnabled(m_allowed);
  }

  const std::function<bool(const char* path)>& m_onSelection;
  QPointer<QPushButton> m_ok;
  std::optional<QString> m_reported;
  bool m_allowed = false;
};

}  // namespace

// Keeps a combo box's edit field as the user left it across a change of its
// items: Qt moves the current item and rewrites the field when the current
// item is removed or the first one is added, which would scramble an id
// while it is being typed. Signals of the box are held meanwhile.
class QtView::ComboEditGuard {
 public:
  explicit ComboEditGuard(QComboBox& combo)
      : m_edit(*combo.lineEdit()),
        m_blocker(&combo),
        m_text(m_edit.text()),
        m_cursor(m_edit.cursorPosition()),
        m_selectionStart(m_edit.selectionStart()),
        m_selectionLength(static_cast<int>(m_edit.selectedText().size()))
  {
  }
  ~ComboEditGuard()
  {
    if (m_edit.text() != m_text)
      m_edit.setText(m_text);
    if (m_selectionStart >= 0 && m_selectionLength > 0)
      m_edit.setSelection(m_selectionStart, m_selectionLength);
    else
      m_edit.setCursorPosition(m_cursor);
  }
  ComboEditGuard(const ComboEditGuard&) = delete;
  ComboEditGuard& operator=(const ComboEditGuard&) = delete;

 private:
  QLineEdit& m_edit;
  QSignalBlocker m_blocker;
  const QString m_text;
  const int m_cursor;
  const int m_selectionStart;
  const int m_selectionLength;
};

// --- Construction and the window thread ---

QtView::QtView()
    : m_windowThreadId(std::this_thread::get_id()), m_font(DialogFont()), m_units(m_font)
{
  // Every window of the launcher (message boxes and the chooser too) shows
  // Japanese in the dialog font.
  QApplication::setFont(m_font);
  // Windows come and go under the launcher's logic alone: the last one
  // closing ends nothing.
  QApplication::setQuitOnLastWindowClosed(false);
}

QtView::~QtView() = default;

bool QtView::OnWindowThread() const
{
  return std::this_thread::get_id() == m_windowThreadId;
}

void QtView::Post(std::function<void()> call)
{
  if (OnWindowThread()) {
    call();
    return;
  }
  Queue(std::move(call));
}

void QtView::Queue(std::function<void()> call)
{
  // Events posted from one thread to one receiver are delivered in the
  // order posted, so a worker's calls reach the window in its order.
  QMetaObject::invokeMethod(
      &m_context,
      [this, call = std::move(call)] {
        ++m_callsRun;
        call();
      },
      Qt::QueuedConnection);
}

template <class Result>
Result QtView::Ask(const std::function<Result()>& call)
{
  if (OnWindowThread())
    return call();
  Result result{};
  QMetaObject::invokeMethod(
      &m_context,
      [this, &call, &result] {
        ++m_callsRun;
        result = call();
      },
      Qt::BlockingQueuedConnection);
  return result;
}

bool QtView::DispatchPendingEvent()
{
  bool handled = false;
  if (OnWindowThread()) {
    const unsigned before = m_callsRun;
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
      handled = dispatcher->processEvents(QEventLoop::AllEvents);
    // Not every dispatcher counts the posted events it delivered.
    handled = handled || m_callsRun != before;
  }
  if (!handled)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return handled;
}

// --- Notifications ---

void QtView::Notify(Dialog dialog, int controlId, int code)
{
  DialogHandler* handler = dialog == Dialog::Main ? m_mainHandler : m_panelHandler;
  if (handler)
    handler->OnCommand(controlId, code);
}

QWidget* QtView::Control(Dialog dialog, int controlId) const
{
  const auto& controls = dialog == Dialog::Main ? m_mainControls : m_panelControls;
  const auto found = controls.find(controlId);
  return found == controls.end() ? nullptr : found->second;
}

void QtView::ConnectNotifications(Dialog dialog, const std::map<int, QWidget*>& controls)
{
  for (const auto& [id, widget] : controls) {
    const int controlId = id;
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      QObject::connect(button, &QAbstractButton::clicked, button,
                       [this, dialog, controlId] { Notify(dialog, controlId, ctl::kClicked); });
    } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
      // Only what the user does: picking an item, typing in the field.
      QObject::connect(combo, &QComboBox::activated, combo, [this, dialog, controlId](int index) {
        m_comboSelection[controlId] = index;
        Notify(dialog, controlId, ctl::kSelectionChange);
      });
      QObject::connect(combo->lineEdit(), &QLineEdit::textEdited, combo,
                       [this, dialog, controlId] {
                         m_comboSelection[controlId] = -1;
                         Notify(dialog, controlId, ctl::kEditChange);
                       });
    } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
      // The user's edits; the window's own are notified where it sets them.
      QObject::connect(edit, &QLineEdit::textEdited, edit, [this, dialog, controlId] {
        Notify(dialog, controlId, ctl::kEditUpdate);
      });
    }
  }
}

// --- Message boxes and the folder chooser ---

void QtView::ShowMessageBox(const char* caption, const char* text, MessageStyle style)
{
  const QString title = FromCp932(caption ? caption : "");
  const QString message = FromCp932(text ? text : "");
  // Off screen nobody sees the box or can close it: an unattended run that
  // stops at one says which on stderr.
  if (QGuiApplication::platformName() == QStringLiteral("offscreen"))
    std::fprintf(stderr, "[message box] %s: %s\n", title.toUtf8().constData(),
                 message.toUtf8().constData());
  Ask<bool>([this, &title, &message, style] {
    QMessageBox box(style == MessageStyle::Error ? QMessageBox::Critical : QMessageBox::NoIcon,
                    title, message, QMessageBox::Ok, m_main.data());
    box.setTextFormat(Qt::PlainText);
    box.exec();
    return true;
  });
}

bool QtView::ChooseFolder(const char* title,
                          const std::function<bool(const char* path)>& onSelection)
{
  const QString caption = FromCp932(title ? title : "");
  return Ask<bool>([&caption, &onSelection] {
    FolderChooser chooser(caption, onSelection);
    chooser.resize(chooser.sizeHint());
    Centre(chooser);
    return chooser.exec() == QDialog::Accepted;
  });
}

// --- The main window's life ---

int QtView::RunModalDialog(int templateId, DialogHandler& handler)
{
  if (!OnWindowThread()) {
    Post([this] { m_lastError = kNotWindowThread; });
    return -1;
  }
  if (templateId != ctl::kMainDialogTemplate) {
    m_lastError = kNoSuchTemplate;
    return -1;
  }
  if (m_main) {
    m_lastError = kAlreadyOpen;
    return -1;
  }

  const DialogTemplate& layout = MainWindowTemplate();
  auto window = std::make_unique<MainWindowWidget>([this] { OnCloseRequest(); },
                                                   [this](int key) { return OnDialogKey(key); });
  window->setFont(m_font);
  window->setFixedSize(m_units.X(layout.width), m_units.Y(layout.height));
  m_mainControls = CreateControls(*window, layout, m_units);
  ConnectNotifications(Dialog::Main, m_mainControls);
  for (const auto& [id, control] : m_mainControls)
    if (qobject_cast<QComboBox*>(control))
      control->installEventFilter(window.get());

  m_main = window.get();
  m_mainHandler = &handler;
  m_quitCode.reset();
  m_comboSelection.clear();
  m_progress = {};

  QEventLoop loop;
  m_loop = &loop;
  handler.OnInitDialog();
  // A quit or the window's end during its initialisation ends it at once.
  if (m_main && !m_quitCode)
    loop.exec();
  m_loop = nullptr;
  EndMainWindow();
  // Deleted only here, out of every handler of its own that may have been
  // running when it ended.
  window.reset();
  return m_quitCode.value_or(0);
}

void QtView::EndMainWindow()
{
  if (!m_main || m_mainEnding)
    return;
  m_mainEnding = true;
  for (auto& [id, timer] : m_timers)
    timer->stop();
  m_timers.clear();  // children of the window, they go with it
  // As a window is destroyed its own handler hears of it first, then the
  // panel's; neither hears anything more.
  if (DialogHandler* handler = std::exchange(m_mainHandler, nullptr))
    handler->OnDestroy();
  ClosePanel();
  m_main->hide();
  m_mainControls.clear();
  m_comboSelection.clear();
  m_main = nullptr;
  m_mainEnding = false;
  if (m_loop)
    m_loop->exit(0);
}

void QtView::DestroyMainWindow()
{
  Post([this] { EndMainWindow(); });
}

void QtView::PostQuit(int exitCode)
{
  Post([this, exitCode] {
    if (!m_main || m_quitCode)
      return;
    m_quitCode = exitCode;
    if (m_loop)
      m_loop->exit(exitCode);
  });
}

void QtView::OnCloseRequest()
{
  // As a dialog's close: Exit, but only while Exit may be pressed.
  QWidget* exit = Control(Dialog::Main, ctl::kExitButton);
  if (exit && exit->isEnabled())
    Notify(Dialog::Main, ctl::kExitButton, ctl::kClicked);
}

bool QtView::OnDialogKey(int key)
{
  if (!m_main)
    return false;
  QWidget* focus = QApplication::focusWidget();
  if (m_panel && focus && m_panel->isAncestorOf(focus))
    return false;
  if (key == Qt::Key_Return || key == Qt::Key_Enter) {
    // A focused button is pressed; elsewhere the default button is.
    auto* button = qobject_cast<QPushButton*>(focus);
    if (!button || !m_main->isAncestorOf(button))
      button = qobject_cast<QPushButton*>(Control(Dialog::Main, ctl::kMainButton));
    if (button && button->isEnabled())
      button->click();
    return true;
  }
  if (key == Qt::Key_Escape) {
    auto* exit = qobject_cast<QPushButton*>(Control(Dialog::Main, ctl::kExitButton));
    if (exit && exit->isEnabled())
      exit->click();
    return true;
  }
  return false;
}

std::string QtView::LastErrorText()
{
  return Ask<std::string>([this] { return m_lastError; });
}

QWidget* QtView::MainWindow() const
{
  return m_main.data();
}

QWidget* QtView::OptionPanel() const
{
  return m_panel.data();
}

void QtView::SetWindowTitle(const char* title)
{
  Post([this, title = FromCp932(title ? title : "")] {
    if (m_main)
      m_main->setWindowTitle(title);
  });
}

void QtView::CenterMainWindow()
{
  Post([this] {
    if (!m_main)
      return;
    Centre(*m_main);
    m_main->show();
    // The window manager's frame is known once the window is up.
    Centre(*m_main);
  });
}

void QtView::ShowMainWindowNormal()
{
  Post([this] {
    if (!m_main)
      return;
    m_main->showNormal();
    // Off screen there is nothing to raise, and Qt says so on stderr.
    if (QGuiApplication::platformName() != QStringLiteral("offscreen")) {
      m_main->raise();
      m_main->activateWindow();
    }
  });
}

// --- Texts of the main window's controls ---

// The log outputs are queued from the window thread too: lines are handed
// over under the shared lock, one thread after another, so one queue shows
// them in the order they went to the log file.
void QtView::AddProcessLogLine(std::string item)
{
  Queue([this, item = std::move(item)] {
    if (auto* list = qobject_cast<QListWidget*>(Control(Dialog::Main, ctl::kProcessLog)))
      list->insertItem(0, LogItemText(item));
  });
}

void QtView::SetStatusLine(std::string text)
{
  Queue([this, text = std::move(text)] {
    SetEditText(Dialog::Main, ctl::kStatusLine, FromCp932(text));
  });
}

void QtView::SetEditText(Dialog dialog, int controlId, const QString& text)
{
  QWidget* control = Control(dialog, controlId);
  if (auto* edit = qobject_cast<QLineEdit*>(control)) {
    edit->setText(text);
    edit->setCursorPosition(0);  // a long text shows its beginning
  } else if (auto* lines = qobject_cast<QPlainTextEdit*>(control)) {
    lines->setPlainText(text);
  } else {
    if (auto* combo = qobject_cast<QComboBox*>(control))
      combo->lineEdit()->setText(text);  // a combo box notifies the user's changes only
    else if (auto* button = qobject_cast<QAbstractButton*>(control))
      button->setText(text);
    else if (auto* label = qobject_cast<QLabel*>(control))
      label->setText(text);
    return;
  }
  // An edit field notifies every change of its text, the window's own too,
  // and before the setter returns.
  Notify(dialog, controlId, ctl::kEditUpdate);
}

std::string QtView::ControlText(Dialog dialog, int controlId) const
{
  QWidget* control = Control(dialog, controlId);
  if (auto* edit = qobject_cast<QLineEdit*>(control))
    return ToCp932(edit->text());
  if (auto* lines = qobject_cast<QPlainTextEdit*>(control))
    return StoredLines(lines->toPlainText());
  if (auto* combo = qobject_cast<QComboBox*>(control))
    return ToCp932(combo->currentText());
  if (auto* button = qobject_cast<QAbstractButton*>(control))
    return ToCp932(button->text());
  if (auto* label = qobject_cast<QLabel*>(control))
    return ToCp932(label->text());
  return {};
}

void QtView::SetControlText(int controlId, const char* text)
{
  const bool multiLine = controlId == ctl::kInformation;
  const QString shown = multiLine ? ShownLines(text ? text : "") : FromCp932(text ? text : "");
  Post([this, controlId, shown] { SetEditText(Dialog::Main, controlId, shown); });
}

std::string QtView::GetControlText(int controlId)
{
  return Ask<std::string>([this, controlId] { return ControlText(Dialog::Main, controlId); });
}

void QtView::EnableControl(int controlId, bool enabled)
{
  Post([this, controlId, enabled] {
    if (QWidget* control = Control(Dialog::Main, controlId))
      control->setEnabled(enabled);
  });
}

bool QtView::IsControlEnabled(int controlId)
{
  return Ask<bool>([this, controlId] {
    // The control's own state, not its window's, as Windows answers it.
    QWidget* control = Control(Dialog::Main, controlId);
    return control && !control->testAttribute(Qt::WA_ForceDisabled);
  });
}

void* QtView::ControlHandle(int controlId)
{
  return Ask<void*>([this, controlId]() -> void* {
    // Plugins get the QWidget itself, the window's as much as a control's.
    if (controlId == kMainWindowHandle)
      return static_cast<QWidget*>(m_main.data());
    return Control(Dialog::Main, controlId);
  });
}

// --- Combo boxes ---

void QtView::ResetCombo(int controlId)
{
  Post([this, controlId] {
    auto* combo = qobject_cast<QComboBox*>(Control(Dialog::Main, controlId));
    if (!combo)
      return;
    const QSignalBlocker blocker(combo);
    combo->clear();
    combo->clearEditText();
    m_comboSelection[controlId] = -1;
  });
}

int QtView::AddComboItem(int controlId, const char* text)
{
  const QString item = FromCp932(text ? text : "");
  return Ask<int>([this, controlId, &item] {
    auto* combo = qobject_cast<QComboBox*>(Control(Dialog::Main, controlId));
    if (!combo)
      return -1;
    const ComboEditGuard guard(*combo);
    combo->addItem(item);
    return combo->count() - 1;
  });
}

void QtView::InsertComboItem(int controlId, int index, const char* text)
{
  Post([this, controlId, index, item = FromCp932(text ? text : "")] {
    auto* combo = qobject_cast<QComboBox*>(Control(Dialog::Main, controlId));
    if (!combo || index > combo->count())
      return;
    const int at = index < 0 ? combo->count() : index;
    const ComboEditGuard guard(*combo);
    combo->insertItem(at, item);
    int& selection = m_comboSelection[controlId];
    if (selection >= at)
      ++selection;
  });
}

void QtView::DeleteComboItem(int controlId, int index)
{
  Post([this, controlId, index] {
    auto* combo = qobject_cast<QComboBox*>(Control(Dialog::Main, controlId));
    if (!combo || index < 0 || index >= combo->count())
      return;
    const ComboEditGuard guard(*combo);
    combo->removeItem(index);
    int& selection = m_comboSelection[controlId];
    if (selection == index)
      selection = -1;
    else if (selection > index)
      --selection;
  });
}

bool QtView::SelectComboItem(int controlId, int index)
{
  return Ask<bool>([this, controlId, index] {
    auto* combo = qobject_cast<QComboBox*>(Control(Dialog::Main, controlId));
    if (!combo)
      return false;
    const QSignalBlocker blocker(combo);
    if (index < 0 || index >= combo->count()) {
      // No item: nothing is chosen and the box shows nothing.
      m_comboSelection[controlId] = -1;
      combo->setCurrentIndex(-1);
      combo->clearEditText();
      return false;
    }
    combo->setCurrentIndex(index);
    combo->setEditText(combo->itemText(index));
    m_comboSelection[controlId] = index;
    return true;
  });
}

int QtView::ComboSelection(int controlId)
{
  return Ask<int>([this, controlId] {
    if (!qobject_cast<QComboBox*>(Control(Dialog::Main, controlId)))
      return -1;
    const auto found = m_comboSelection.find(controlId);
    return found == m_comboSelection.end() ? -1 : found->second;
  });
}

// --- The options panel ---

bool QtView::ShowOptionPanel(DialogHandler& handler)
{
  return Ask<bool>([this, &handler] {
    if (!m_main || m_mainEnding) {
      m_lastError = kNoMainWindow;
      return false;
    }
    ClosePanel();
    const DialogTemplate& layout = OptionPanelTemplate();
    auto* panel = new QWidget(m_main);
    panel->setObjectName(QStringLiteral("dialog%1").arg(layout.id));
    // At the main window's right edge, which moves out by the panel's width.
    panel->setGeometry(m_main->width(), 0, m_units.X(layout.width), m_units.Y(layout.height));
    m_panelControls = CreateControls(*panel, layout, m_units);
    ConnectNotifications(Dialog::Panel, m_panelControls);
    m_panel = panel;
    m_panelWidth = panel->width();
    m_main->setFixedSize(m_main->width() + m_panelWidth, m_main->height());
    m_panelHandler = &handler;
    handler.OnInitDialog();
    if (m_panel == panel)
      panel->show();
    return true;
  });
}

void QtView::ClosePanel()
{
  if (!m_panel)
    return;
  QWidget* panel = m_panel.data();
  m_panel = nullptr;
  DialogHandler* handler = std::exchange(m_panelHandler, nullptr);
  m_panelControls.clear();
  panel->hide();
  if (m_main)
    m_main->setFixedSize(m_main->width() - m_panelWidth, m_main->height());
  // One of its own buttons may be what asked for this: the widget goes once
  // that button's handler has returned.
  panel->deleteLater();
  if (handler)
    handler->OnDestroy();
}

void QtView::HideOptionPanel()
{
  Post([this] { ClosePanel(); });
}

void QtView::SetPanelText(int controlId, const char* text)
{
  Post([this, controlId, shown = FromCp932(text ? text : "")] {
    SetEditText(Dialog::Panel, controlId, shown);
  });
}

std::string QtView::GetPanelText(int controlId)
{
  return Ask<std::string>([this, controlId] { return ControlText(Dialog::Panel, controlId); });
}

void QtView::SetPanelCheck(int controlId, bool checked)
{
  Post([this, controlId, checked] {
    if (auto* box = qobject_cast<QAbstractButton*>(Control(Dialog::Panel, controlId)))
      box->setChecked(checked);
  });
}

bool QtView::PanelChecked(int controlId)
{
  return Ask<bool>([this, controlId] {
    auto* box = qobject_cast<QAbstractButton*>(Control(Dialog::Panel, controlId));
    return box && box->isChecked();
  });
}

void QtView::AddListColumn(int controlId, const char* title, int width)
{
  Post([this, controlId, width, caption = FromCp932(title ? title : "")] {
    auto* list = qobject_cast<QTableWidget*>(Control(Dialog::Panel, controlId));
    if (!list)
      return;
    const int column = list->columnCount();
    list->setColumnCount(column + 1);
    auto* header = new QTableWidgetItem(caption);
    header->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    list->setHorizontalHeaderItem(column, header);
    list->setColumnWidth(column, std::max(width, 0));
    FitLastColumn(*list);
  });
}

void QtView::AddListRow(int controlId, const std::vector<std::string>& cells)
{
  QStringList shown;
  for (const std::string& cell : cells)
    shown.append(FromCp932(cell));
  Post([this, controlId, shown] {
    auto* list = qobject_cast<QTableWidget*>(Control(Dialog::Panel, controlId));
    if (!list)
      return;
    const int row = list->rowCount();
    list->insertRow(row);
    // Cells past the last column have nowhere to go, as in a report list.
    const int columns = std::min(static_cast<int>(shown.size()), list->columnCount());
    for (int column = 0; column < columns; ++column)
      list->setItem(row, column, new QTableWidgetItem(shown.at(column)));
    // Long texts wrap within their columns: the row grows to hold them.
    list->resizeRowToContents(row);
  });
}

int QtView::ListRowCount(int controlId)
{
  return Ask<int>([this, controlId] {
    auto* list = qobject_cast<QTableWidget*>(Control(Dialog::Panel, controlId));
    return list ? list->rowCount() : 0;
  });
}

int QtView::ListSelectedRow(int controlId)
{
  return Ask<int>([this, controlId] {
    auto* list = qobject_cast<QTableWidget*>(Control(Dialog::Panel, controlId));
    if (!list || !list->selectionModel())
      return -1;
    int first = -1;
    for (const QModelIndex& row : list->selectionModel()->selectedRows())
      if (first < 0 || row.row() < first)
        first = row.row();
    return first;
  });
}

// --- The progress bar ---

// The bar's state is kept here rather than in QProgressBar, which ignores a
// value outside its range where the launcher expects it clamped.
void QtView::ShowProgress()
{
  auto* bar = qobject_cast<QProgressBar*>(Control(Dialog::Main, ctl::kProgressBar));
  if (!bar)
    return;
  if (m_progress.high > m_progress.low) {
    bar->setRange(m_progress.low, m_progress.high);
    bar->setValue(m_progress.position);
  } else {
    // An empty range shows an empty bar (Qt would animate a busy one).
    bar->setRange(0, 1);
    bar->setValue(0);
  }
}

void QtView::SetProgressRange(int low, int high)
{
  Post([this, low, high] {
    m_progress.low = low;
    m_progress.high = high;
    m_progress.position = std::clamp(m_progress.position, low, std::max(low, high));
    ShowProgress();
  });
}

void QtView::SetProgressStep(int step)
{
  Post([this, step] { m_progress.step = step; });
}

void QtView::SetProgressPosition(int position)
{
  Post([this, position] {
    m_progress.position = std::clamp(position, m_progress.low, std::max(m_progress.low, m_progress.high));
    ShowProgress();
  });
}

void QtView::StepProgress()
{
  Post([this] {
    Progress& bar = m_progress;
    const long long next = static_cast<long long>(bar.position) + bar.step;
    // Stepped past its end, the bar starts over from its beginning.
    long long position = next > bar.high ? bar.low + (next - bar.high) : next;
    position = std::clamp<long long>(position, bar.low, std::max(bar.low, bar.high));
    bar.position = static_cast<int>(position);
    ShowProgress();
  });
}

// --- The timer ---

void QtView::StartTimer(int timerId, unsigned milliseconds)
{
  Post([this, timerId, milliseconds] {
    if (!m_main || m_mainEnding)
      return;
    QTimer*& timer = m_timers[timerId];
    if (!timer) {
      timer = new QTimer(m_main);
      QObject::connect(timer, &QTimer::timeout, timer, [this, timerId] {
        if (m_mainHandler)
          m_mainHandler->OnTimer(timerId);
      });
    }
    // Started again with the same id, it counts its period afresh.
    timer->start(static_cast<int>(
        std::clamp<unsigned>(milliseconds, kShortestTimerPeriod, static_cast<unsigned>(INT_MAX))));
  });
}

void QtView::StopTimer(int timerId)
{
  Post([this, timerId] {
    const auto found = m_timers.find(timerId);
    if (found != m_timers.end())
      found->second->stop();
  });
}

}  // namespace orv::qt
