// The real window on Qt's offscreen platform: widgets bound to the model,
// the layout numbers, a start with clients in the roster, closing, the
// client launcher, the warning colours, the smallest size, the roster's
// menu and header, and the way into the notification area and back.

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTextBlock>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QToolButton>
#include <QWindow>
#include <gtest/gtest.h>

#include "app/qt/main_window.h"
#include "chat_peer.h"
#include "event_loop.h"
#include "form_fixture.h"
#include "modal_dialog_driver.h"

namespace parlivo::testing {
namespace {

struct Window : ::testing::Test {
  Window() {
    window.form().chkTray.SetChecked(false);
    window.form().Server->SetMaxPing(20);
    window.form().edPort.Text = std::to_string(port);
    window.ControlsChanged();
  }
  template <typename T>
  T* Widget(const char* name) {
    return window.findChild<T*>(name);
  }

  QTemporaryDir home;
  PosixSocketApi api;
  MainWindow window{api, FormEnvironment{home.path().toStdString(), "parlivo-server"}};
  std::uint16_t port = FreePort();
};

TEST_F(Window, LaysOutTheDesignSizes) {
  window.resize(703, 413);
  window.show();
  EXPECT_EQ(window.windowTitle(), "Parlivo Server");
  EXPECT_EQ(Widget<QToolButton>("sbRun")->text(), "Run");
  EXPECT_EQ(Widget<QToolButton>("sbRun")->width(), 688);
  EXPECT_EQ(Widget<QToolButton>("sbRun")->height(), 18);
  EXPECT_EQ(Widget<QTableWidget>("lvClients")->height(), 389 - 220 - 20 - 42 - 5);
  EXPECT_EQ(Widget<QWidget>("pnlClients")->width(), 228);
  EXPECT_EQ(Widget<QLineEdit>("edPort")->width(), 54);
  EXPECT_EQ(Widget<QLineEdit>("edPort")->text().toStdString(), std::to_string(port));
}

TEST_F(Window, RunListsRegisteredClientsAndClosingAsksThemToLeave) {
  window.resize(703, 413);
  window.show();
  Widget<QToolButton>("sbRun")->click();
  ASSERT_TRUE(window.form().Server->Listen());
  EXPECT_EQ(Widget<QToolButton>("sbRun")->text(), "Stop");
  EXPECT_FALSE(Widget<QLineEdit>("edPort")->isEnabled());
  EXPECT_TRUE(Widget<QPlainTextEdit>("mChat")->toPlainText().contains("Do not forget to tell correct Port!"));

  ChatPeer ann, bob;
  ASSERT_TRUE(ann.connection.connect("127.0.0.1", port, 2000));
  ASSERT_TRUE(bob.connection.connect("127.0.0.1", port, 2000));
  ann.connection.registerUser("Ann", "Lobby");
  bob.connection.registerUser("Bob", "Lobby");
  auto* roster = Widget<QTableWidget>("lvClients");
  ASSERT_TRUE(PumpUntil([&] {
    ann.Poll();
    bob.Poll();
    return roster->rowCount() == 2;
  }));
  EXPECT_EQ(roster->item(0, 1)->text(), "Lobby");

  // A client's line breaks cannot start a line of their own in the log.
  auto* log = Widget<QPlainTextEdit>("mChat");
  const int lines = log->blockCount();
  ann.connection.sendChat("\r\nServer is offline!");
  ASSERT_TRUE(PumpUntil([&] {
    ann.Poll();
    return log->blockCount() > lines;
  }));
  EXPECT_EQ(log->document()->lastBlock().text().toStdString(),
            "Broadcasting \"\\r\\nServer is offline!\" from Ann (Lobby) (127.0.0.1)");
  EXPECT_EQ(log->blockCount(), lines + 1);

  window.close();
  for (ChatPeer* client : {&ann, &bob}) {
    PumpUntil([&] {
      client->Poll();
      return client->Has(14);
    });
    EXPECT_TRUE(client->Has(14));
  }
}

// Done when: the operator picks a program without an extension with "..",
// the path field shows it, and "Run" starts it in its own folder.
TEST_F(Window, PickedProgramFillsThePathFieldAndRunStartsIt) {
  window.show();
  const QString program = QDir(home.path()).filePath("parlivo-chat");
  QFile script(program);
  ASSERT_TRUE(script.open(QIODevice::WriteOnly));
  script.write("#!/bin/sh\necho started > started\n");
  script.close();
  ASSERT_TRUE(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));

  ModalDialogDriver driver([&](QFileDialog& dialog) { EXPECT_TRUE(TypeAndOpen(dialog, program)); });
  Widget<QToolButton>("btnPLV")->click();
  ASSERT_TRUE(driver.acted);
  EXPECT_EQ(Widget<QLineEdit>("edPLV")->text().toStdString(), program.toStdString());
  EXPECT_EQ(Widget<QLineEdit>("edPLV")->toolTip().toStdString(), program.toStdString());
  EXPECT_TRUE(window.form().mmPLV.Enabled);

  Widget<QToolButton>("sbOpen")->click();
  EXPECT_TRUE(PumpUntil([&] { return QFile::exists(QDir(home.path()).filePath("started")); }));
}

TEST_F(Window, WarningPanelsShowRedAndTheSameNicknameBoxKeepsTheHighlight) {
  window.resize(703, 413);
  window.show();
  const QPalette palette = QApplication::palette();
  const QColor face = palette.color(QPalette::Button), red(Qt::red), highlight = palette.color(QPalette::Highlight);
  // The colour painted at `at` inside the named widget.
  const auto colourAt = [&](const char* name, QPoint at) {
    const QWidget* widget = Widget<QWidget>(name);
    return widget ? window.grab().toImage().pixelColor(widget->mapTo(&window, at)) : QColor();
  };
  const auto margin = [&](const char* panel) { return colourAt(panel, QPoint(3, 9)); };  // left of its button
  struct Step {
    const char* click;  // nothing for the normal state
    QColor all, none, sameName;
  };
  for (const Step& step : {Step{nullptr, face, face, face}, Step{"rbAll", red, face, face},
                           Step{"rbNone", face, red, face}, Step{"chkSameNick", face, red, red}}) {
    if (step.click) Widget<QAbstractButton>(step.click)->click();
    const char* name = step.click ? step.click : "normal";
    EXPECT_EQ(margin("pnlAll"), step.all) << name;
    EXPECT_EQ(margin("pnlRooms"), face) << name;
    EXPECT_EQ(margin("pnlNone"), step.none) << name;
    EXPECT_EQ(margin("pnlSameName"), step.sameName) << name;
    EXPECT_EQ(colourAt("chkSameNick", QPoint(200, 8)), highlight) << name;  // right of its caption
  }
}

TEST_F(Window, SmallestSizeKeepsTheRosterAndEveryPanelApart) {
  window.show();
  window.resize(420, 260);  // where the roster used to vanish under the panels
  EXPECT_EQ(window.size(), window.minimumSize());
  // Every visible child lies inside its parent and apart from its siblings.
  auto* pnlClients = Widget<QWidget>("pnlClients");
  std::vector<const QWidget*> parents = {&window, pnlClients};
  for (const QWidget* panel : pnlClients->findChildren<QFrame*>("", Qt::FindDirectChildrenOnly)) parents.push_back(panel);
  for (const QWidget* parent : parents) {
    QList<QRect> placed;
    for (const QWidget* child : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (child->isWindow() || !child->isVisibleTo(parent)) continue;
      const std::string name = child->objectName().toStdString();
      EXPECT_TRUE(parent->rect().contains(child->geometry())) << name;
      for (const QRect& other : placed) EXPECT_FALSE(other.intersects(child->geometry())) << name;
      placed.append(child->geometry());
    }
  }
  auto* roster = Widget<QTableWidget>("lvClients");
  EXPECT_GE(roster->height(), roster->horizontalHeader()->height() + 3 * 18);
}

TEST_F(Window, RosterMenuNeedsASelectedRowAndTheHeaderShowsTheSortDirection) {
  window.resize(703, 413);
  window.show();
  window.form().lvClients.Add("Ann", "Lobby");
  window.form().lvClients.Add("bob", "attic");
  window.RosterChanged();
  auto* roster = Widget<QTableWidget>("lvClients");
  const auto enabledItems = [&] {
    const auto actions = Widget<QMenu>("pmClients")->actions();
    return std::count_if(actions.begin(), actions.end(), [](const QAction* a) { return a->isEnabled(); });
  };
  EXPECT_EQ(enabledItems(), 0);
  roster->selectRow(1);
  EXPECT_EQ(enabledItems(), 3);
  roster->clearSelection();
  EXPECT_EQ(enabledItems(), 0);

  // Clicks on Nickname, Nickname, Room sort ascending, descending, ascending.
  QHeaderView* header = roster->horizontalHeader();
  EXPECT_FALSE(header->isSortIndicatorShown());
  for (const auto& [column, order] : {std::pair{0, Qt::AscendingOrder}, std::pair{0, Qt::DescendingOrder},
                                      std::pair{1, Qt::AscendingOrder}}) {
    const QPoint at(header->sectionViewportPosition(column) + 4, header->height() / 2);
    const QPoint global = header->viewport()->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(header->viewport(), &press);
    QApplication::sendEvent(header->viewport(), &release);
    EXPECT_TRUE(header->isSortIndicatorShown());
    EXPECT_EQ(header->sortIndicatorSection(), column);
    EXPECT_EQ(header->sortIndicatorOrder(), order) << column;
  }
}

// Minimising with "To Tray Icon" checked, by hand or by a start of the
// server, hides the window into the notification area and "Show Window"
// brings it back; without a notification area the window stays minimised
// on the taskbar.
TEST(WindowTray, MinimiseHidesIntoTheNotificationAreaAndShowWindowBringsItBack) {
  for (const bool available : {true, false}) {
    for (const bool byHand : {true, false}) {
      QTemporaryDir home;
      PosixSocketApi api;
      RecordingShell shell;
      shell.available = available;
      MainWindow window(api, FormEnvironment{home.path().toStdString(), "parlivo-server"}, &shell);
      ASSERT_TRUE(window.form().chkTray.Checked());
      window.show();
      const std::string name = std::string(available ? "tray, " : "no tray, ") + (byHand ? "by hand" : "requested");

      if (byHand) {
        window.windowHandle()->setWindowState(Qt::WindowMinimized);  // as the window manager does
      } else {
        window.MinimizeApplication();
      }
      PumpFor(20);
      EXPECT_EQ(window.isVisible(), !available) << name;
      EXPECT_EQ(shell.shown, available) << name;
      if (!available) {
        EXPECT_TRUE(window.isMinimized()) << name;
        continue;
      }
      EXPECT_EQ(window.trayMenu()->actions().at(1)->text(), "&Run Server");

      window.trayMenu()->actions().at(0)->trigger();  // "Show &Window"
      PumpFor(20);
      EXPECT_TRUE(window.isVisible()) << name;
      EXPECT_FALSE(window.isMinimized()) << name;
      EXPECT_FALSE(shell.shown) << name;

      // A double click on the icon brings it back as well.
      window.MinimizeApplication();
      PumpFor(20);
      ASSERT_FALSE(window.isVisible()) << name;
      TTrayIcon& icon = window.form().TrayIcon;
      TrayMessage doubleClick{tray::WM_TRAYNOTIFY, icon.WindowHandle(), tray::WM_LBUTTONDBLCLK, 0};
      icon.WindowProc(doubleClick);
      PumpFor(20);
      EXPECT_TRUE(window.isVisible()) << name;
    }
  }
}

// The icon's menu runs and stops the server and always names what it will
// do next.
TEST(WindowTray, TheIconsMenuRunsAndStopsTheServerAndNamesWhatComesNext) {
  QTemporaryDir home;
  PosixSocketApi api;
  RecordingShell shell;
  MainWindow window(api, FormEnvironment{home.path().toStdString(), "parlivo-server"}, &shell);
  window.form().edPort.Text = std::to_string(FreePort());
  window.show();
  QAction* runOrStop = window.trayMenu()->actions().at(1);
  runOrStop->trigger();
  PumpFor(20);
  ASSERT_TRUE(window.form().Server->Listen());
  EXPECT_EQ(runOrStop->text(), "&Stop Server");
  runOrStop->trigger();
  PumpFor(20);
  EXPECT_FALSE(window.form().Server->Listen());
  EXPECT_EQ(runOrStop->text(), "&Run Server");
}

}  // namespace
}  // namespace parlivo::testing

namespace parlivo::testing {
namespace {

TEST_F(Window, AnnouncementRowFeedsTheModelAndLocksWhileTheServerRuns) {
  window.resize(703, 413);
  auto* name = Widget<QLineEdit>("edName");
  auto* advertise = Widget<QCheckBox>("chkAdvertise");
  ASSERT_NE(name, nullptr);
  ASSERT_NE(advertise, nullptr);
  EXPECT_EQ(name->placeholderText().toStdString(), window.form().ServiceName());  // the host's name
  for (const QChar c : QString::fromUtf8("Caf\xC3\xA9 chat")) {  // typed, as the operator would
    QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
    QApplication::sendEvent(name, &key);
  }
  EXPECT_EQ(window.form().edName.Text, "Caf\xE9 chat");  // Windows-1252 in the model
  EXPECT_EQ(window.form().ServiceName(), "Caf\xC3\xA9 chat");
  advertise->click();
  EXPECT_FALSE(window.form().chkAdvertise.Checked());

  Widget<QToolButton>("sbRun")->click();
  ASSERT_TRUE(window.form().Server->Listen());
  EXPECT_FALSE(name->isEnabled());
  EXPECT_FALSE(advertise->isEnabled());
  Widget<QToolButton>("sbRun")->click();
  EXPECT_TRUE(name->isEnabled());
}

}  // namespace
}  // namespace parlivo::testing
