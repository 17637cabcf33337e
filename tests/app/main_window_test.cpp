// The real window on Qt's offscreen platform: widgets bound to the model,
// the layout numbers, a start with clients in the roster, and closing.

#include <QLineEdit>
#include <QTextBlock>
#include <QPlainTextEdit>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QToolButton>
#include <gtest/gtest.h>

#include "app/qt/main_window.h"
#include "chat_peer.h"
#include "event_loop.h"
#include "form_fixture.h"

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
  EXPECT_EQ(Widget<QTableWidget>("lvClients")->height(), 389 - 220 - 5);
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

}  // namespace
}  // namespace parlivo::testing
