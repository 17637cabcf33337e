// The chat window on the offscreen platform: Enter sends, the roster and
// its note follow the model, Ctrl+L clears, a refused line stays with its hint.

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSettings>
#include <QTextBrowser>

#include "chatclient/qt/chat_window.h"
#include "fake_browser.h"
#include "form_fixture.h"

namespace parlivo::testing {
namespace {

void Press(QWidget* widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QKeyEvent press(QEvent::KeyPress, key, modifiers);
  QApplication::sendEvent(widget, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers);
  QApplication::sendEvent(widget, &release);
}

struct ChatWindowTest : FormFixture {
  ChatWindowTest() { QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path()); }
  QTemporaryDir config;
};

TEST_F(ChatWindowTest, EnterSendsTheRosterShowsWhoIsHereAndCtrlLClears) {
  form.rbAll.Click();
  ASSERT_TRUE(Start());
  Join("Bob", "Lobby");
  ChatWindow window;
  window.show();
  window.client().values = ConnectValues{"127.0.0.1:" + QString::number(port), "Ann", "Lobby"};
  EXPECT_EQ(window.rosterView()->isVisible(), false);  // "Not connected." stands in its place
  ASSERT_TRUE(window.client().Connect());
  ASSERT_TRUE(WaitUntil([&] { return window.rosterView()->count() == 2; }));
  EXPECT_TRUE(window.rosterView()->isVisible());

  window.input()->setText("Łódź");
  Press(window.input(), Qt::Key_Return);
  EXPECT_EQ(window.input()->text(), "Łódź");  // refused: kept for the user to fix
  EXPECT_TRUE(window.hintLabel()->isVisible());

  window.input()->setText("hello <b>all</b>");
  Press(window.input(), Qt::Key_Return);
  EXPECT_TRUE(window.input()->text().isEmpty());
  ASSERT_TRUE(WaitUntil([&] { return window.transcriptView()->toPlainText().contains("Ann @ Lobby: hello <b>all</b>"); }));

  Press(window.input(), Qt::Key_L, Qt::ControlModifier);
  EXPECT_TRUE(window.transcriptView()->toPlainText().isEmpty());
  window.close();
}

}  // namespace
}  // namespace parlivo::testing

namespace parlivo::testing {
namespace {

TEST_F(ChatWindowTest, FoundServersAreListedAndADoubleClickJoinsOne) {
  ASSERT_TRUE(Start());
  FakeBrowser browser;
  ChatWindow window(&browser);
  EXPECT_EQ(browser.starts, 1);
  EXPECT_TRUE(window.foundView()->isHidden());
  browser.OnFound({"Lab", "lab.local", "127.0.0.1", port});
  ASSERT_EQ(window.foundView()->count(), 1);
  EXPECT_EQ(window.foundView()->item(0)->text(), "Lab  (lab.local:" + QString::number(port) + ")");
  EXPECT_FALSE(window.foundView()->isHidden());

  window.client().values.nick = "Ann";
  window.ShowValues();
  emit window.foundView()->itemDoubleClicked(window.foundView()->item(0));
  EXPECT_EQ(window.serverField()->text(), "127.0.0.1:" + QString::number(port));
  EXPECT_TRUE(WaitUntil([&] { return form.lvClients.IndexOf("Ann") >= 0; }));
  // The announced name goes with the address picked: the key is pinned under it.
  EXPECT_EQ(window.client().values.service, "Lab");
  window.client().Quit(1000);
  // An address the user edits is the user's own choice.
  emit window.serverField()->textEdited(window.serverField()->text());
  Press(window.serverField(), Qt::Key_Return);
  EXPECT_EQ(window.client().values.service, "");
  window.client().Quit(1000);
  // A name remembered from the last run goes with its address again.
  window.client().values.service = "Lab";
  window.ShowValues();
  Press(window.serverField(), Qt::Key_Return);
  EXPECT_EQ(window.client().values.service, "Lab");

  browser.OnLost("Lab");
  EXPECT_EQ(window.foundView()->count(), 0);
  window.client().Quit(1000);
}

}  // namespace
}  // namespace parlivo::testing
