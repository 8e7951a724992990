// The Linux window on Qt's offscreen platform: the launcher's real main window
// logic on the real back-ends, a loopback patch server, and a user who works
// the widgets themselves. This file holds UTF-8 literals (Qt's headers need
// it); texts for the launcher go through Sjis().
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include "app/CGlobal.h"
#include "app/LauncherMode.h"
#include "frontend/qt/DialogLayout.h"
#include "frontend/qt/QtView.h"
#include "platform/ControlIds.h"
#include "platform/posix/Cp932.h"
#include "root/Launcher.h"
#include "support/KivoraSites.h"
#include "support/LoopbackServer.h"
#include "support/PatchStep.h"
#include "support/PluginFolder.h"
#include "support/StubGame.h"
#include "support/TempDir.h"
#include "support/TestPlatform.h"
#include "ui/MainDialog.h"

// Failures show Qt's values as text.
inline void PrintTo(const QString& text, std::ostream* out)
{
  *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& texts, std::ostream* out)
{
  *out << '{' << texts.join(QStringLiteral(", ")).toStdString() << '}';
}
inline void PrintTo(const QPoint& point, std::ostream* out)
{
  *out << point.x() << ',' << point.y();
}
inline void PrintTo(const QSize& size, std::ostream* out)
{
  *out << size.width() << 'x' << size.height();
}
inline void PrintTo(const QRect& rect, std::ostream* out)
{
  *out << rect.x() << ',' << rect.y() << ' ' << rect.width() << 'x' << rect.height();
}

namespace orv::test {
namespace {

// The one QApplication of the process, on the main thread, as in the
// launcher's own entry point.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override
  {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "frontend_tests";
    static char* argv[] = {name, nullptr};
    m_application = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { m_application.reset(); }

 private:
  std::unique_ptr<QApplication> m_application;
};
[[maybe_unused]] ::testing::Environment* const g_qt =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

std::string Sjis(const QString& text)
{
  std::string bytes;
  EXPECT_TRUE(posix::Utf8ToCp932(text.toStdString(), bytes));
  return bytes;
}

bool WaitFor(const std::function<bool()>& condition)
{
  return QTest::qWaitFor(condition, 15000);
}

// Types text as key presses carrying it (QTest::keyClicks only types Latin-1).
void Type(QWidget* widget, const QString& text)
{
  for (const QChar character : text)
    QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(character), Qt::NoModifier);
}

// Runs call on a thread of its own, as a worker of the launcher would, and
// waits for it without blocking the window.
void OnWorker(const std::function<void()>& call)
{
  std::atomic<bool> done{false};
  std::thread worker([&] {
    call();
    done = true;
  });
  EXPECT_TRUE(WaitFor([&] { return done.load(); }));
  worker.join();
}

// The window's texts that cannot be read whole, measured with each widget's
// own font: a control that passes the window's edge or the frame it stands
// in, a caption wider than the room its control gives it, a column that ends
// past its list or a cell whose text does not fit it.
QStringList CutTexts(QWidget* window)
{
  QStringList cut;
  auto check = [&](bool fits, const QWidget* widget, const QString& text, const char* why) {
    if (!fits)
      cut.append(QStringLiteral("%1 \"%2\" %3").arg(widget->metaObject()->className(), text, why));
  };
  for (QWidget* widget : window->findChildren<QWidget*>()) {
    // Plain widgets hold controls (the options panel) or parts of them.
    if (!widget->isVisibleTo(window) || widget->metaObject() == &QWidget::staticMetaObject)
      continue;
    const QRect place(widget->mapTo(window, QPoint(0, 0)), widget->size());
    check(window->rect().contains(place), widget, widget->objectName(), "passes the window's edge");
    for (const QGroupBox* frame :
         widget->parentWidget()->findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly))
      if (frame != widget && frame->geometry().contains(widget->geometry().topLeft()))
        check(frame->geometry().contains(widget->geometry()), widget, frame->title(),
              "passes the edge of its frame");
    const QFontMetrics metrics(widget->font());
    QStyle* style = widget->style();
    if (auto* label = qobject_cast<QLabel*>(widget)) {
      check(metrics.horizontalAdvance(label->text()) <= label->contentsRect().width(), label,
            label->text(), "is wider than its label");
    } else if (auto* box = qobject_cast<QCheckBox*>(widget)) {
      QStyleOptionButton option;
      option.initFrom(box);
      option.text = box->text();
      const QRect room = style->subElementRect(QStyle::SE_CheckBoxContents, &option, box);
      check(room.left() + metrics.horizontalAdvance(box->text()) <= box->width(), box, box->text(),
            "is wider than its check box");
    } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
      const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
      check(metrics.horizontalAdvance(button->text()) <= button->width() - 2 * frame, button,
            button->text(), "is wider than its button");
    } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
      QStyleOptionGroupBox option;
      option.initFrom(group);
      option.text = group->title();
      option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
      const QRect title =
          style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
      check(title.right() < group->width(), group, group->title(), "is wider than its frame");
    } else if (auto* list = qobject_cast<QTableWidget*>(widget)) {
      const QHeaderView* header = list->horizontalHeader();
      const int headerMargin = style->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
      const int cellMargin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1;
      for (int column = 0; column < list->columnCount(); ++column) {
        const QString title = list->horizontalHeaderItem(column)->text();
        const int width = header->sectionSize(column);
        check(header->sectionViewportPosition(column) + width <= list->viewport()->width(), list,
              title, "ends past its list");
        check(metrics.horizontalAdvance(title) + 2 * headerMargin <= width, list, title,
              "is wider than its column");
        for (int row = 0; row < list->rowCount(); ++row) {
          const QString text = list->item(row, column)->text();
          const QRect needed = metrics.boundingRect(QRect(0, 0, width - 2 * cellMargin, 1 << 20),
                                                    Qt::TextWordWrap, text);
          check(needed.width() <= width - 2 * cellMargin && needed.height() <= list->rowHeight(row),
                list, text, "does not fit its cell");
        }
      }
    }
  }
  return cut;
}

class QtWindowTest : public ::testing::Test {
 protected:
  QtWindowTest() : m_backends(LoopbackServer::AuthorityFile())
  {
    m_server.ServeFolder(m_root.path());
    m_deployment.patchHost = m_deployment.infoHost = "127.0.0.1";
    m_deployment.patchPort = m_deployment.infoPort = m_server.port();
    Put(m_root.path() / "orv" / "orvnew.ver", "41\r\n");
    Put(m_root.path() / "client" / "info.txt", Sjis(QStringLiteral("お知らせ\r\n二行目")));
    Put(m_game / "orv.exe", "MZ");
    Put(m_game / "orv.ver", "41\r\n");
  }

  static void Put(const std::filesystem::path& file, const std::string& content)
  {
    std::filesystem::create_directories(file.parent_path());
    WriteFile(file, content);
  }

  void WriteSettings(const std::string& moreSettings)
  {
    WriteFile(m_start.path() / "OLConfig.ini",
              "[Conf]\r\nOrvDir=" + m_game.string() + "\r\nLogging=1\r\n" + moreSettings);
  }
  std::string LogFile() const { return ReadFile(m_start.path() / "LaunchDbLog.txt"); }

  // Starts the launcher with its own main window and runs script in the
  // window's loop once the connect sequence has ended; then the user
  // presses Exit, unless the script ended the window itself.
  void RunLauncher(const std::string& moreSettings, const std::function<void(CGlobal&)>& script)
  {
    WriteSettings(moreSettings);
    Launcher launcher(m_backends.With(m_view), m_deployment);
    QTimer::singleShot(0, [&] {
      const bool connected = WaitFor([&] {
        return m_view.MainWindow() && Button(ctl::kMainButton)->isEnabled();
      });
      EXPECT_TRUE(connected) << "the connect sequence never ended";
      if (connected)
        script(*launcher.Global());
      if (m_view.MainWindow()) {
        EXPECT_TRUE(WaitFor([&] { return Button(ctl::kExitButton)->isEnabled(); }));
        Button(ctl::kExitButton)->click();
      }
      if (m_view.MainWindow()) {
        ADD_FAILURE() << "Exit left the window open";
        m_view.DestroyMainWindow();  // the test must end all the same
      }
    });
    // As the Windows program does, the launcher ends with 1.
    EXPECT_EQ(launcher.Run(), 1);
  }

  template <class Widget>
  Widget* Control(int id)
  {
    return qobject_cast<Widget*>(static_cast<QWidget*>(m_view.ControlHandle(id)));
  }
  QPushButton* Button(int id) { return Control<QPushButton>(id); }
  template <class Widget>
  Widget* PanelControl(int id)
  {
    QWidget* panel = m_view.OptionPanel();
    return panel ? panel->findChild<Widget*>(QStringLiteral("control%1").arg(id)) : nullptr;
  }
  QStringList LogItems()
  {
    QStringList items;
    if (auto* list = Control<QListWidget>(ctl::kProcessLog))
      for (int row = 0; row < list->count(); ++row)
        items.append(list->item(row)->text());
    return items;
  }

  TempDir m_root;
  LoopbackServer m_server;
  TempDir m_start;
  ScopedCurrentDirectory m_inStart{m_start.path()};
  ScopedEnvironment m_lcAll{"LC_ALL", std::nullopt};
  ScopedEnvironment m_lcMessages{"LC_MESSAGES", std::nullopt};
  ScopedEnvironment m_lang{"LANG", "ja_JP.UTF-8"};
  std::filesystem::path m_game = m_start.path() / "game";
  TestPlatform m_backends;
  Deployment m_deployment;
  qt::QtView m_view;
};

// --- The window's contract, without the launcher ---

class NotingHandler : public DialogHandler {
 public:
  explicit NotingHandler(std::function<void()> onInit = {}) : m_onInit(std::move(onInit)) {}
  void OnInitDialog() override
  {
    if (m_onInit)
      m_onInit();
  }
  void OnCommand(int controlId, int code) override { commands.push_back({controlId, code}); }
  void OnTimer(int) override
  {
    ++ticks;
    tickedOnWindowThread = tickedOnWindowThread && std::this_thread::get_id() == windowThread;
  }
  void OnDestroy() override { ++destroyed; }

  std::function<void()> m_onInit;
  std::vector<std::pair<int, int>> commands;
  int ticks = 0;
  int destroyed = 0;
  bool tickedOnWindowThread = true;
  const std::thread::id windowThread = std::this_thread::get_id();
};

TEST(QtViewTest, WorkerCallsAreQueuedToTheWindowThreadAndAQuitFromAWorkerEndsTheLoop)
{
  qt::QtView view;
  NotingHandler unknown;
  EXPECT_EQ(view.RunModalDialog(999, unknown), -1);
  EXPECT_FALSE(view.LastErrorText().empty());

  NotingHandler handler;
  handler.m_onInit = [&] {
    view.StartTimer(ctl::kUpdateTimer, 10);
    QTimer::singleShot(0, [&] {
      auto* status = qobject_cast<QLineEdit*>(
          static_cast<QWidget*>(view.ControlHandle(ctl::kStatusLine)));
      ASSERT_NE(status, nullptr);
      std::thread worker([&] {
        // Queued and returning at once, as it must under the shared lock...
        view.SetStatusLine(Sjis(QStringLiteral("状態")));
        view.EnableControl(ctl::kExitButton, false);
      });
      worker.join();
      EXPECT_TRUE(status->text().isEmpty());
      // ...and delivered, in order, while the window thread waits on a worker.
      EXPECT_TRUE(view.DispatchPendingEvent());
      EXPECT_EQ(status->text(), QStringLiteral("状態"));
      EXPECT_EQ(handler.commands.back(), std::make_pair(ctl::kStatusLine, ctl::kEditUpdate));
      EXPECT_FALSE(view.IsControlEnabled(ctl::kExitButton));

      // A worker's reads wait for the window thread's answer.
      void* handle = nullptr;
      std::string text;
      OnWorker([&] {
        handle = view.ControlHandle(ctl::kStatusLine);
        text = view.GetControlText(ctl::kStatusLine);
      });
      EXPECT_EQ(handle, status);
      EXPECT_EQ(text, Sjis(QStringLiteral("状態")));

      ASSERT_TRUE(WaitFor([&] { return handler.ticks >= 3; }));
      std::thread([&] { view.PostQuit(7); }).join();
    });
  };
  EXPECT_EQ(view.RunModalDialog(ctl::kMainDialogTemplate, handler), 7);
  EXPECT_EQ(handler.destroyed, 1);
  EXPECT_TRUE(handler.tickedOnWindowThread);
  EXPECT_EQ(view.MainWindow(), nullptr);
  EXPECT_EQ(view.ControlHandle(View::kMainWindowHandle), nullptr);
  // With the window gone, nothing answers for it and nothing breaks.
  view.SetControlText(ctl::kStatusLine, "x");
  EXPECT_FALSE(view.IsControlEnabled(ctl::kMainButton));
  // Once nothing is pending, the wait loop is told so (and is slowed down).
  int rounds = 0;
  while (view.DispatchPendingEvent() && ++rounds < 100) {
  }
  EXPECT_LT(rounds, 100);
}

TEST(QtViewTest, TheProgressBarIsClampedToItsRangeAndWrapsWhenSteppedPastItsEnd)
{
  qt::QtView view;
  NotingHandler handler;
  handler.m_onInit = [&] {
    auto* bar =
        qobject_cast<QProgressBar*>(static_cast<QWidget*>(view.ControlHandle(ctl::kProgressBar)));
    ASSERT_NE(bar, nullptr);
    view.SetProgressRange(0, 100);
    view.SetProgressPosition(150);
    EXPECT_EQ(bar->value(), 100);
    view.SetProgressStep(30);
    view.SetProgressPosition(80);
    view.StepProgress();
    EXPECT_EQ(bar->value(), 10);
    view.DestroyMainWindow();
  };
  EXPECT_EQ(view.RunModalDialog(ctl::kMainDialogTemplate, handler), 0);
  EXPECT_EQ(handler.destroyed, 1);
}

TEST(QtViewTest, TheFolderChooserTakesOnlyAFolderTheLauncherAccepts)
{
  qt::QtView view;
  TempDir root;
  WriteFile(root.path() / "orv.exe", "MZ");
  std::filesystem::create_directories(root.path() / "empty");
  const std::string game = root.path().string();
  const std::string empty = (root.path() / "empty").string();
  std::vector<std::string> offered;
  const auto holdsGame = [&](const char* path) {
    offered.push_back(path ? path : "(none)");
    return path && std::filesystem::exists(std::filesystem::path(path) / "orv.exe");
  };

  QTimer::singleShot(0, [&] {
    auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(chooser, nullptr);
    QTimer::singleShot(10000, chooser, &QDialog::reject);  // a failure must not hang the test
    EXPECT_EQ(chooser->windowTitle(), QStringLiteral("ORVフォルダの指定"));
    QPushButton* ok = chooser->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open);
    auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(name, nullptr);
    EXPECT_FALSE(ok->isEnabled());  // the root holds no game
    // The user types into the name field.
    chooser->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(chooser));
    name->setFocus();

    name->setText(QString::fromStdString(empty));
    EXPECT_FALSE(ok->isEnabled());
    // However the dialog is asked to accept, it does not take that folder.
    QMetaObject::invokeMethod(chooser, "accept");
    EXPECT_TRUE(chooser->isVisible());

    name->setText(QString::fromStdString(game));
    EXPECT_TRUE(ok->isEnabled());
    ok->click();
  });
  EXPECT_TRUE(view.ChooseFolder(Sjis(QStringLiteral("ORVフォルダの指定")).c_str(), holdsGame));
  ASSERT_FALSE(offered.empty());
  EXPECT_EQ(offered.front(), "/");
  EXPECT_NE(std::find(offered.begin(), offered.end(), empty), offered.end());
  EXPECT_EQ(offered.back(), game);
}

// --- The launcher in its window ---

TEST_F(QtWindowTest, TypingAnIdRenamesTheAccountInPlaceAndTheButtonFollowsTheMode)
{
  RunLauncher(
      "LastGID=0\r\nLastAID=0\r\n"
      "[AccountData0]\r\nKivoraID=alice\r\nKivoraPass=pa\r\nAttraction0=orv1\r\n"
      "[AccountData1]\r\nKivoraID=bob\r\nKivoraPass=pb\r\nAttraction0=orv2\r\n",
      [&](CGlobal& global) {
        auto* kivora = Control<QComboBox>(ctl::kKivoraIdCombo);
        auto* orv = Control<QComboBox>(ctl::kOrvAccountCombo);
        auto* password = Control<QLineEdit>(ctl::kPasswordEdit);
        // The title ends with the version strings of the program's own file.
        EXPECT_EQ(m_view.MainWindow()->windowTitle(), "OrvLauncher Ver.0.3.3 Rev.4");
        EXPECT_EQ(Button(ctl::kMainButton)->text(), "Login");
        EXPECT_EQ(kivora->currentText(), "alice");
        EXPECT_EQ(orv->currentText(), "orv1");
        EXPECT_EQ(password->text(), "pa");
        EXPECT_EQ(password->displayText(), "**");

        // Picking the other account from the list fills its ids and password.
        QTest::keyClick(kivora, Qt::Key_Down);
        EXPECT_EQ(orv->currentText(), "orv2");
        EXPECT_EQ(password->text(), "pb");
        QTest::keyClick(kivora, Qt::Key_Up);
        EXPECT_EQ(password->text(), "pa");

        // A worker's change of mode reaches the button.
        OnWorker([&] { global.SetLauncherMode(kGameStart); });
        EXPECT_TRUE(WaitFor([&] { return Button(ctl::kMainButton)->text() == "GameStart"; }));

        // The window replaces the chosen item at every keystroke; what the
        // user types stays whole and in order. A character Shift_JIS has
        // no form for is refused.
        kivora->lineEdit()->end(false);
        Type(kivora, QStringLiteral("2ä漢"));
        EXPECT_EQ(kivora->currentText(), QStringLiteral("alice2漢"));
        EXPECT_EQ(kivora->lineEdit()->cursorPosition(), 7);
        ASSERT_EQ(kivora->count(), 2);
        EXPECT_EQ(kivora->itemText(0), QStringLiteral("alice2漢"));
        EXPECT_EQ(global.accounts[0].kivoraId, Sjis(QStringLiteral("alice2漢")));
        // A new id takes a password obtained for the old one back to Login.
        EXPECT_EQ(Button(ctl::kMainButton)->text(), "Login");
      });
  // The accounts were saved as the window went.
  EXPECT_NE(ReadFile(m_start.path() / "OLConfig.ini").find("KivoraID=" + Sjis(QStringLiteral("alice2漢"))),
            std::string::npos);
}

TEST_F(QtWindowTest, TheOptionPanelWidensTheWindowByItsWidthAndItsFieldsReachTheLogic)
{
  PluginFolder(m_start.path()).Install("describes", "describes.opg");
  RunLauncher("", [&](CGlobal& global) {
    QWidget* window = m_view.MainWindow();
    const qt::DialogUnits units(qt::DialogFont());
    EXPECT_EQ(window->size(), QSize(units.X(303), units.Y(263)));
    EXPECT_EQ(Control<QWidget>(ctl::kInformation)->property("plainText").toString(),
              QStringLiteral("お知らせ\n二行目"));
    const QRect closed = window->geometry();
    EXPECT_EQ(CutTexts(window), QStringList());

    QTest::mouseClick(Button(ctl::kOptionButton), Qt::LeftButton);
    QWidget* panel = m_view.OptionPanel();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(window->width(), closed.width() + panel->width());
    EXPECT_EQ(window->height(), closed.height());
    EXPECT_EQ(window->geometry().topLeft(), closed.topLeft());
    EXPECT_EQ(panel->geometry(), QRect(closed.width(), 0, units.X(187), units.Y(264)));
    EXPECT_EQ(PanelControl<QLineEdit>(ctl::kOrvDirEdit)->text(),
              QString::fromStdString(m_game.string()));
    auto* plugins = PanelControl<QTableWidget>(ctl::kPluginList);
    ASSERT_EQ(plugins->columnCount(), 3);
    EXPECT_EQ(plugins->horizontalHeaderItem(0)->text(), QStringLiteral("プラグイン名称"));
    ASSERT_EQ(plugins->rowCount(), 1);
    EXPECT_EQ(plugins->item(0, 0)->text(), "describes plugin");

    // The user's edit of the local version runs its bounds and the mode rule.
    auto* local = PanelControl<QLineEdit>(ctl::kLocalVersionEdit);
    EXPECT_EQ(local->text(), "41");
    local->selectAll();
    QTest::keyClicks(local, "x3");  // digits only
    EXPECT_EQ(local->text(), "3");
    EXPECT_EQ(Button(ctl::kMainButton)->text(), "Update");
    local->selectAll();
    QTest::keyClicks(local, "99");
    EXPECT_EQ(local->text(), "41");  // no further than the game folder's version
    EXPECT_EQ(Button(ctl::kMainButton)->text(), "Login");
    EXPECT_EQ(global.launcherMode, kLogin);

    const QString folder = QStringLiteral(ORV_SCREENSHOT_DIR);
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString file = folder + QStringLiteral("/main_window_with_options.png");
    QFile::remove(file);
    ASSERT_TRUE(window->grab().save(file));
    EXPECT_EQ(QImage(file).size(), window->size());
    // Every caption, column and cell can be read whole in the fonts installed.
    EXPECT_EQ(CutTexts(window), QStringList());

    QTest::mouseClick(Button(ctl::kOptionButton), Qt::LeftButton);
    EXPECT_EQ(m_view.OptionPanel(), nullptr);
    EXPECT_EQ(window->geometry(), closed);

    // Running a plugin closes the panel from the panel's own button first.
    QTest::mouseClick(Button(ctl::kOptionButton), Qt::LeftButton);
    PanelControl<QTableWidget>(ctl::kPluginList)->selectRow(0);
    QTest::mouseClick(PanelControl<QPushButton>(ctl::kRunPluginButton), Qt::LeftButton);
    EXPECT_EQ(m_view.OptionPanel(), nullptr);
    EXPECT_EQ(window->geometry(), closed);
    EXPECT_TRUE(WaitFor([&] { return LogItems().contains("describes:PlugLaunch"); }));
  });
}

TEST_F(QtWindowTest, WorkersReachTheWindowInOrderAndAMessageBoxHoldsItsWorkerUntilClosed)
{
  PluginFolder(m_start.path()).Install("describes", "describes.opg");
  RunLauncher("", [&](CGlobal& global) {
    // The window's timer runs the plugins' timers.
    EXPECT_TRUE(WaitFor([&] { return LogItems().value(0) == "describes:PlugTimer"; }));
    // The start-up's version check writes the status line too: the lines
    // below come after its last.
    EXPECT_TRUE(WaitFor(
        [&] { return Control<QLineEdit>(ctl::kStatusLine)->text() == "--> Ver. 41/41"; }));

    OnWorker([&] {
      for (const char* line : {"one", "two", "three"})
        global.WriteProcessLog("%s", line);
      global.WriteStatus("%s", Sjis(QStringLiteral("状態")).c_str());
    });
    // Newest first, without the line ends the items carry.
    const auto written = [&] {
      QStringList items = LogItems();
      items.removeAll(QStringLiteral("describes:PlugTimer"));
      return items.mid(0, 3);
    };
    EXPECT_TRUE(WaitFor([&] { return written().value(0) == "three"; }));
    EXPECT_EQ(written(), (QStringList{"three", "two", "one"}));
    EXPECT_TRUE(WaitFor(
        [&] { return Control<QLineEdit>(ctl::kStatusLine)->text() == QStringLiteral("状態"); }));

    std::atomic<bool> returned{false};
    QString shown;
    bool heldWhileShown = false;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box)
        return;
      shown = box->windowTitle() + "|" + box->text();
      EXPECT_EQ(box->icon(), QMessageBox::Critical);
      EXPECT_EQ(box->parentWidget(), m_view.MainWindow());
      heldWhileShown = !returned;
      box->button(QMessageBox::Ok)->click();
      closer.stop();
    });
    closer.start(20);
    OnWorker([&] {
      m_view.ShowMessageBox("Error", Sjis(QStringLiteral("失敗しました")).c_str(),
                            MessageStyle::Error);
      returned = true;
    });
    EXPECT_TRUE(heldWhileShown);
    EXPECT_EQ(shown, QStringLiteral("Error|失敗しました"));

    // Neither Esc nor the window manager's close acts while Exit may not be
    // pressed.
    QWidget* window = m_view.MainWindow();
    OnWorker([&] { m_view.EnableControl(ctl::kExitButton, false); });
    ASSERT_TRUE(WaitFor([&] { return !Button(ctl::kExitButton)->isEnabled(); }));
    QTest::keyClick(Control<QComboBox>(ctl::kKivoraIdCombo), Qt::Key_Escape);
    window->close();
    EXPECT_EQ(m_view.MainWindow(), window);
    EXPECT_TRUE(window->isVisible());
    OnWorker([&] { m_view.EnableControl(ctl::kExitButton, true); });
    ASSERT_TRUE(WaitFor([&] { return Button(ctl::kExitButton)->isEnabled(); }));
    QTest::keyClick(Control<QComboBox>(ctl::kKivoraIdCombo), Qt::Key_Escape);
    EXPECT_EQ(m_view.MainWindow(), nullptr);
  });
}

TEST_F(QtWindowTest, ExitWhileTheServersAcceptAndNeverAnswerEndsTheLauncherAtOnce)
{
  // Exit waited for the connect thread, and the connect thread for the
  // information and version downloads to time out one after the other.
  RawServer silent("", true);
  m_deployment.patchPort = m_deployment.infoPort = silent.port();
  WriteSettings("Timeout=10\r\n");
  Launcher launcher(m_backends.With(m_view), m_deployment);
  QElapsedTimer sincePress;
  QTimer::singleShot(0, [&] {
    EXPECT_TRUE(WaitFor([&] { return m_view.MainWindow() && silent.connections() > 0; }));
    EXPECT_FALSE(Button(ctl::kMainButton)->isEnabled());  // still connecting
    sincePress.start();
    QTest::keyClick(Control<QComboBox>(ctl::kKivoraIdCombo), Qt::Key_Escape);
  });
  EXPECT_EQ(launcher.Run(), 1);
  // Well before the 20 s the two time-outs take.
  EXPECT_LT(sincePress.elapsed(), 5000);
  EXPECT_EQ(silent.connections(), 1);  // the version download never went out
}

TEST_F(QtWindowTest, WithAutoStartTheWindowUpdatesSignsInAndStartsTheGameByItself)
{
  KivoraSites sites;
  sites.PointAt(m_deployment);
  Put(m_root.path() / "orv" / "orvnew.ver", "42\r\n");
  WriteStep(m_root.path(), {42, {{"step.cab", {{"readme.txt", "42"}}}}, {"readme.txt"}});
  InstallStubGame(m_game / "orv.exe");
  WriteSettings(
      "AutoStart=1\r\nLastGID=0\r\n"
      "[AccountData0]\r\nKivoraID=kivora\r\nKivoraPass=secret\r\nAttraction0=orv2\r\n");
  Launcher launcher(m_backends.With(m_view), m_deployment);
  // Nobody touches the window: the patch, login and connect threads and
  // the timer drive it until the game is started and the window quits.
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [&] {
    ADD_FAILURE() << "the launcher did not end by itself";
    m_view.DestroyMainWindow();
  });
  watchdog.start(60000);
  EXPECT_EQ(launcher.Run(), 1);
  watchdog.stop();

  const auto record = WaitForLaunchRecord(m_game);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(std::vector<std::string>(record->begin() + 1, record->end()),
            (std::vector<std::string>{"/Launch", "-u:orv2", "-p:" + KivoraSites::kOneTimePass}));
  EXPECT_NE(LogFile().find(Sjis(QStringLiteral("アップデートに成功しました Ver.42"))),
            std::string::npos);
}

TEST_F(QtWindowTest, ExitPressedThreeTimesQuicklyDuringADownloadEndsTheLauncherOnce)
{
  Put(m_root.path() / "orv" / "orvnew.ver", "42\r\n");
  Put(m_root.path() / "D00000042" / "dl_list.txt", "big.cab,1\r\n");
  m_server.ServeGenerated("/D00000042/big.cab", 1u << 30);
  RunLauncher("", [&](CGlobal&) {
    QTest::mouseClick(Button(ctl::kMainButton), Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] {
      return Control<QLineEdit>(ctl::kStatusLine)->text().startsWith(QStringLiteral("--> big.cab"));
    }));
    WhenDownloadEnds cut(m_start.path() / "_download" / "D00000042" / "big.cab.part",
                         [this] { m_server.CutConnections(); });
    // A click, Esc and the window manager's close, all waiting before the
    // first Exit is handled: the others arrive while it waits for the patch
    // thread.
    QWidget* window = m_view.MainWindow();
    QCoreApplication::postEvent(window,
                                new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
    QCoreApplication::postEvent(window, new QCloseEvent);
    Button(ctl::kExitButton)->click();
    EXPECT_EQ(m_view.MainWindow(), nullptr);
  });
  EXPECT_NE(LogFile().find(Sjis(QStringLiteral("アップデートに失敗しました Ver.41/42"))),
            std::string::npos);
}

TEST_F(QtWindowTest, EnterRightAfterAFailedLoginSignsInAgain)
{
  KivoraSites sites;
  sites.PointAt(m_deployment);
  sites.portal.Handle("POST", "/index.php",
                      [](const HttpRequestSeen&) { return KivoraSites::Reply(500, ""); });
  sites.member.Handle("POST", "/front/guest/login.aspx", [](const HttpRequestSeen&) {
    return KivoraSites::Reply(200, Sjis(QStringLiteral("入力してください")));
  });
  RunLauncher(
      "LastGID=0\r\n[AccountData0]\r\nKivoraID=kivora\r\nKivoraPass=wrong\r\nAttraction0=orv2\r\n",
      [&](CGlobal&) {
        auto* kivora = Control<QComboBox>(ctl::kKivoraIdCombo);
        kivora->setFocus();
        const auto signIns = [&] { return LogItems().count(QStringLiteral("サーバーログイン")); };
        // The login's lines and its enabling of the buttons reach the
        // window in order: the button enabled after the last line of the
        // member site's attempt is the login's end.
        const auto failedTimes = [&](int times) {
          return LogItems().count(QStringLiteral("アトラクションセンターからのログイン")) == times &&
                 Button(ctl::kMainButton)->isEnabled();
        };
        QTest::keyClick(kivora, Qt::Key_Return);
        ASSERT_TRUE(WaitFor([&] { return failedTimes(1); }));
        QTest::keyClick(kivora, Qt::Key_Return);
        EXPECT_TRUE(WaitFor([&] { return failedTimes(2); })) << "the second sign-in never ended";
        EXPECT_EQ(signIns(), 2);
        EXPECT_EQ(Button(ctl::kMainButton)->text(), "Login");
      });
}

TEST_F(QtWindowTest, OpeningTheOptionsOnAGameAt1000OrWithoutVersionKeepsItsVersionAndMode)
{
  struct Case {
    const char* gameVersion;  // nullptr: no orv.ver
    const char* serverVersion;
    const char* caption;
    int localVersion;
  } cases[] = {{"1000", "1000", "Login", 1000}, {nullptr, "44", "Update", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.caption);
    std::filesystem::remove(m_game / "orv.ver");
    if (c.gameVersion)
      Put(m_game / "orv.ver", std::string(c.gameVersion) + "\r\n");
    Put(m_root.path() / "orv" / "orvnew.ver", std::string(c.serverVersion) + "\r\n");
    WriteSettings("");
    Launcher launcher(m_backends.With(m_view), m_deployment);
    QTimer::singleShot(0, [&] {
      const bool connected = WaitFor([&] {
        return m_view.MainWindow() && Button(ctl::kMainButton)->isEnabled();
      });
      EXPECT_TRUE(connected) << "the connect sequence never ended";
      if (connected) {
        const VersionState& versions = launcher.Window()->versions;
        EXPECT_EQ(Button(ctl::kMainButton)->text(), c.caption);
        QTest::mouseClick(Button(ctl::kOptionButton), Qt::LeftButton);
        EXPECT_EQ(PanelControl<QLineEdit>(ctl::kLocalVersionEdit)->text(),
                  QString::number(c.localVersion));
        QTest::mouseClick(Button(ctl::kOptionButton), Qt::LeftButton);
        EXPECT_EQ(versions.localVersion, c.localVersion);
        EXPECT_EQ(Button(ctl::kMainButton)->text(), c.caption);
        Button(ctl::kExitButton)->click();
      }
      if (m_view.MainWindow())
        m_view.DestroyMainWindow();
    });
    EXPECT_EQ(launcher.Run(), 1);
  }
}

}  // namespace
}  // namespace orv::test
