#pragma once
// The chat client's window: Qt widgets bound to the ChatClient model.
//
// A connect bar (server, nickname, room, Connect/Disconnect, Reconnect)
// over a splitter with the transcript and the roster, and an input line
// with a hint beneath it. Beside them, the servers found on the local
// network: a click puts one in the server field, a double click connects
// to it. The window owns the model; widgets show the
// model's values and hand every action to it. Keyboard: Enter sends (in the
// connect bar it connects), Ctrl+L clears the transcript, Escape puts the
// focus in the input line.

#include <QCheckBox>
#include <QMainWindow>

#include <memory>

#include "chatclient/chat_client.h"
#include "chatclient/server_finder.h"

class QAction;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QSplitter;
class QStackedWidget;
class QTextBrowser;

namespace parlivo {

class ChatWindow final : public QMainWindow, public ChatClientView {
 public:
  // `browser`, when given, must outlive the window; the window starts it.
  explicit ChatWindow(ServiceBrowser* browser = nullptr);
  ~ChatWindow() override;

  ChatClient& client() { return client_; }
  // Puts the model's connect values into the connect bar.
  void ShowValues();
  // Restores the size and splitter of the last run.
  void RestoreLayout();

  // ChatClientView
  void LineAdded(const TranscriptLine& line) override;
  void TranscriptCleared() override;
  void RosterChanged() override;
  void StateChanged() override;
  void HintChanged() override;

  // The widgets, for tests.
  QLineEdit* input() const { return input_; }
  QTextBrowser* transcriptView() const { return transcript_; }
  QListWidget* rosterView() const { return roster_; }
  QLabel* hintLabel() const { return hint_; }
  QListWidget* foundView() const { return found_; }
  QLabel* foundNoteLabel() const { return foundNote_; }
  QLineEdit* serverField() const { return server_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildConnectBar();
  QWidget* BuildCentre();
  void BuildActions();
  void ConnectOrDisconnect();
  void Send();
  void RosterDoubleClicked(QListWidgetItem* item);
  void TakeValues();
  void FoundChanged();
  void UseFound(QListWidgetItem* item, bool connect);

  ChatClient client_;
  QLineEdit* server_ = nullptr;
  QLineEdit* nick_ = nullptr;
  QLineEdit* room_ = nullptr;
  QCheckBox* tls_ = nullptr;
  QPushButton* connect_ = nullptr;
  QAction* reconnect_ = nullptr;
  QSplitter* splitter_ = nullptr;
  QTextBrowser* transcript_ = nullptr;
  QStackedWidget* rosterStack_ = nullptr;
  QListWidget* roster_ = nullptr;
  QLabel* rosterNote_ = nullptr;
  QLineEdit* input_ = nullptr;
  QLabel* hint_ = nullptr;
  QListWidget* found_ = nullptr;
  QLabel* foundNote_ = nullptr;
  std::unique_ptr<ServerFinder> finder_;
  // The announced name of the server picked from the list, until the
  // server field is edited (see ConnectValues::service).
  QString foundService_;
};

// One transcript line as the HTML the transcript view shows (the texts
// escaped): "[hh:mm:ss] NICK @ ROOM: text", private data marked as such.
QString TranscriptLineHtml(const TranscriptLine& line);

}  // namespace parlivo
