#include "chatclient/qt/chat_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QShortcut>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTextBrowser>
#include <QToolBar>
#include <QVBoxLayout>

namespace parlivo {
namespace {

constexpr int kLeaveOnCloseMs = 1000;
constexpr int kMaxInputLength = 4000;

QString Span(const QString& style, const QString& text) {
  return "<span style=\"" + style + "\">" + text.toHtmlEscaped() + "</span>";
}

QSettings LayoutSettings() { return QSettings("Mossfold", "parlivo-client"); }

}  // namespace

QString TranscriptLineHtml(const TranscriptLine& line) {
  using Kind = TranscriptLine::Kind;
  const QString time = Span("color:#808080", "[" + line.time.toString("HH:mm:ss") + "] ");
  switch (line.kind) {
    case Kind::Chat:
      if (!line.relayForm) return time + line.text.toHtmlEscaped();
      return time + "<b>" + line.nick.toHtmlEscaped() + "</b>" +
             (line.room.isEmpty() ? QString() : Span("color:#808080", " @ " + line.room)) + ": " +
             line.text.toHtmlEscaped();
    case Kind::PrivateIn: return time + Span("color:#8e44ad; font-style:italic", "(private) " + line.text);
    case Kind::PrivateOut:
      return time + Span("color:#8e44ad; font-style:italic", "(private to " + line.nick + ") " + line.text);
    case Kind::Notice: return time + Span("color:#2e7d32", line.text);
    case Kind::Problem: return time + Span("color:#c0392b; font-weight:bold", line.text);
  }
  return {};
}

ChatWindow::ChatWindow(ServiceBrowser* browser) : client_(this) {
  setWindowTitle("Parlivo Chat");
  setWindowIcon(QIcon::fromTheme("parlivo-server", QIcon::fromTheme("internet-group-chat")));
  BuildConnectBar();
  setCentralWidget(BuildCentre());
  BuildActions();
  resize(760, 480);
  setMinimumSize(480, 300);
  StateChanged();
  RosterChanged();
  if (browser != nullptr) {
    finder_ = std::make_unique<ServerFinder>(*browser);
    finder_->OnChanged = [this] { FoundChanged(); };
    finder_->Start();
  }
  FoundChanged();
}

ChatWindow::~ChatWindow() { client_.setView(nullptr); }

void ChatWindow::BuildConnectBar() {
  QToolBar* bar = addToolBar("Connection");
  bar->setObjectName("connectBar");
  bar->setMovable(false);
  server_ = new QLineEdit(bar);
  server_->setPlaceholderText("host or host:port");
  server_->setToolTip("The server's address: HOST or HOST:PORT (port 65535 when omitted)");
  nick_ = new QLineEdit(bar);
  nick_->setPlaceholderText("nickname");
  room_ = new QLineEdit(bar);
  room_->setPlaceholderText("room (optional)");
  tls_ = new QCheckBox("TLS", bar);
  tls_->setObjectName("tls");
  tls_->setToolTip("Connect encrypted, to the server's TLS port (65534 when no port is given). The server's key "
                   "is remembered at the first connection; a server that shows another key later is refused.");
  connect_ = new QPushButton("Connect", bar);
  connect_->setDefault(true);
  bar->addWidget(new QLabel(" Server ", bar));
  bar->addWidget(server_);
  bar->addWidget(new QLabel(" Nickname ", bar));
  bar->addWidget(nick_);
  bar->addWidget(new QLabel(" Room ", bar));
  bar->addWidget(room_);
  bar->addWidget(tls_);
  bar->addWidget(connect_);
  for (QLineEdit* field : {server_, nick_, room_}) {
    QObject::connect(field, &QLineEdit::returnPressed, this, [this] { ConnectOrDisconnect(); });
  }
  // A typed address is the user's own choice, not the announced server's.
  QObject::connect(server_, &QLineEdit::textEdited, this, [this] { foundService_.clear(); });
  QObject::connect(connect_, &QPushButton::clicked, this, [this] { ConnectOrDisconnect(); });
}

QWidget* ChatWindow::BuildCentre() {
  auto* centre = new QWidget(this);
  splitter_ = new QSplitter(Qt::Horizontal, centre);
  splitter_->setObjectName("splitter");
  transcript_ = new QTextBrowser(splitter_);
  transcript_->setOpenLinks(false);
  transcript_->setFocusPolicy(Qt::ClickFocus);
  transcript_->document()->setMaximumBlockCount(static_cast<int>(Transcript::kMaxLines));
  auto* side = new QWidget(splitter_);
  auto* sideLayout = new QVBoxLayout(side);
  sideLayout->setContentsMargins(0, 0, 0, 0);
  auto* foundTitle = new QLabel("<b>Servers on this network</b>", side);
  found_ = new QListWidget(side);
  found_->setObjectName("foundServers");
  found_->setToolTip("Click a server to put its address in the Server field; double-click to connect");
  found_->setMaximumHeight(110);
  foundNote_ = new QLabel(side);
  foundNote_->setWordWrap(true);
  foundNote_->setStyleSheet("color:#606060");
  QObject::connect(found_, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) { UseFound(item, false); });
  QObject::connect(found_, &QListWidget::itemDoubleClicked, this,
                   [this](QListWidgetItem* item) { UseFound(item, true); });
  sideLayout->addWidget(foundTitle);
  sideLayout->addWidget(found_);
  sideLayout->addWidget(foundNote_);
  auto* title = new QLabel("<b>Who is here</b>", side);
  rosterStack_ = new QStackedWidget(side);
  roster_ = new QListWidget(rosterStack_);
  roster_->setToolTip("Double-click a name to send private data");
  rosterNote_ = new QLabel(rosterStack_);
  rosterNote_->setWordWrap(true);
  rosterNote_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  rosterNote_->setMargin(6);
  rosterStack_->addWidget(roster_);
  rosterStack_->addWidget(rosterNote_);
  sideLayout->addWidget(title);
  sideLayout->addWidget(rosterStack_);
  splitter_->addWidget(transcript_);
  splitter_->addWidget(side);
  splitter_->setStretchFactor(0, 3);
  splitter_->setStretchFactor(1, 1);
  QObject::connect(roster_, &QListWidget::itemDoubleClicked, this,
                   [this](QListWidgetItem* item) { RosterDoubleClicked(item); });

  input_ = new QLineEdit(centre);
  input_->setPlaceholderText("Type a message and press Enter (/help for commands)");
  input_->setMaxLength(kMaxInputLength);
  auto* send = new QPushButton("Send", centre);
  QObject::connect(input_, &QLineEdit::returnPressed, this, [this] { Send(); });
  QObject::connect(send, &QPushButton::clicked, this, [this] { Send(); });
  QObject::connect(input_, &QLineEdit::textEdited, this, [this] { client_.ClearHint(); });
  hint_ = new QLabel(centre);
  hint_->setStyleSheet("color:#c0392b");
  hint_->setWordWrap(true);
  hint_->hide();

  auto* inputRow = new QHBoxLayout;
  inputRow->addWidget(input_);
  inputRow->addWidget(send);
  auto* layout = new QVBoxLayout(centre);
  layout->setContentsMargins(6, 6, 6, 6);
  layout->addWidget(splitter_, 1);
  layout->addLayout(inputRow);
  layout->addWidget(hint_);
  return centre;
}

void ChatWindow::BuildActions() {
  QMenu* chat = menuBar()->addMenu("&Chat");
  reconnect_ = chat->addAction("&Reconnect", this, [this] { client_.Reconnect(); });
  reconnect_->setShortcut(QKeySequence("Ctrl+R"));
  chat->addAction("&Disconnect", this, [this] { client_.Disconnect(); });
  chat->addSeparator();
  chat->addAction("C&lear", QKeySequence("Ctrl+L"), this, [this] { client_.ClearTranscript(); });
  chat->addSeparator();
  chat->addAction("&Quit", QKeySequence::Quit, this, [this] { close(); });
  findChild<QToolBar*>("connectBar")->addAction(reconnect_);
  auto* focusInput = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  QObject::connect(focusInput, &QShortcut::activated, this, [this] { input_->setFocus(); });
}

void ChatWindow::ShowValues() {
  server_->setText(client_.values.server);
  foundService_ = client_.values.service;
  nick_->setText(client_.values.nick);
  room_->setText(client_.values.room);
  tls_->setChecked(client_.values.tls);
}

void ChatWindow::RestoreLayout() {
  QSettings settings = LayoutSettings();
  restoreGeometry(settings.value("window/geometry").toByteArray());
  splitter_->restoreState(settings.value("window/splitter").toByteArray());
}

void ChatWindow::TakeValues() {
  client_.values = ConnectValues{server_->text(), nick_->text(), room_->text(), tls_->isChecked(), foundService_};
}

void ChatWindow::ConnectOrDisconnect() {
  if (client_.state() != ChatClient::State::Offline && client_.state() != ChatClient::State::Leaving) {
    client_.Disconnect();
    return;
  }
  TakeValues();
  if (client_.Connect()) input_->setFocus();
}

void ChatWindow::Send() {
  if (client_.Submit(input_->text())) input_->clear();
}

void ChatWindow::RosterDoubleClicked(QListWidgetItem* item) {
  input_->setText("/msg " + item->text() + " ");
  input_->setFocus();
}

void ChatWindow::LineAdded(const TranscriptLine& line) {
  QScrollBar* bar = transcript_->verticalScrollBar();
  const bool atEnd = bar->value() == bar->maximum();
  transcript_->append(TranscriptLineHtml(line));
  if (atEnd) bar->setValue(bar->maximum());
}

void ChatWindow::TranscriptCleared() { transcript_->clear(); }

void ChatWindow::RosterChanged() {
  roster_->clear();
  for (const QString& name : client_.roster()) roster_->addItem(name.isEmpty() ? "(no name yet)" : name);
  rosterNote_->setText(client_.rosterNote());
  rosterStack_->setCurrentWidget(client_.rosterListed() ? static_cast<QWidget*>(roster_) : rosterNote_);
}

void ChatWindow::StateChanged() {
  const ChatClient::State state = client_.state();
  const bool offline = state == ChatClient::State::Offline;
  connect_->setText(offline ? "Connect" : "Disconnect");
  connect_->setEnabled(state != ChatClient::State::Leaving);
  for (QLineEdit* field : {server_, nick_, room_}) field->setEnabled(offline);
  tls_->setEnabled(offline);
  reconnect_->setEnabled(client_.canReconnect());
  statusBar()->showMessage(client_.stateText());
  const QString nick = client_.nick();
  setWindowTitle(nick.isEmpty() ? "Parlivo Chat" : nick + " - Parlivo Chat");
}

void ChatWindow::FoundChanged() {
  found_->clear();
  if (!finder_) {
    found_->hide();
    foundNote_->setText("Type the server's address above.");
    return;
  }
  for (const FoundServer& server : finder_->servers()) found_->addItem(ServerFinder::EntryText(server));
  found_->setVisible(!finder_->servers().empty());
  foundNote_->setText(finder_->note());
}

void ChatWindow::UseFound(QListWidgetItem* item, bool connect) {
  if (!finder_ || client_.state() != ChatClient::State::Offline) return;
  const auto row = static_cast<std::size_t>(found_->row(item));
  const QString text = finder_->ServerFieldText(row);
  if (text.isEmpty()) return;
  // A server that offers TLS is joined encrypted.
  const FoundServer& found = finder_->servers()[row];
  server_->setText(found.tlsPort != 0 ? QString::fromStdString(found.address) + ":" + QString::number(found.tlsPort)
                                      : text);
  tls_->setChecked(found.tlsPort != 0);
  foundService_ = QString::fromStdString(found.name);
  if (connect) ConnectOrDisconnect();
}

void ChatWindow::HintChanged() {
  hint_->setText(client_.hint());
  hint_->setVisible(!client_.hint().isEmpty());
}

void ChatWindow::closeEvent(QCloseEvent* event) {
  QSettings settings = LayoutSettings();
  settings.setValue("window/geometry", saveGeometry());
  settings.setValue("window/splitter", splitter_->saveState());
  client_.Quit(kLeaveOnCloseMs);
  event->accept();
}

}  // namespace parlivo
