#include "chatclient/chat_client.h"

#include <unistd.h>

#include <utility>

#include "chatclient/relay_text.h"
#include "chatclient/wire_text.h"
#include "client/known_servers.h"
#include "encoding/text_codec.h"
#include "transport/packet_ids.h"

namespace parlivo {
namespace {

constexpr const char* kCommands =
    "Commands: /msg NICK TEXT sends TEXT privately to NICK (or double-click a name), "
    "//TEXT sends a line that starts with '/'. Any other line goes to everybody.";

}  // namespace

ChatClient::ChatClient(ChatClientView* view) : view_(view) {
  deadline_.setSingleShot(true);
  QObject::connect(&deadline_, &QTimer::timeout, [this] { TimedOut(); });
}

ChatClient::~ChatClient() {
  // Nothing may call back into a half-destroyed model.
  view_ = nullptr;
  readWatch_.reset();
  writeWatch_.reset();
}

bool ChatClient::Connect() {
  QString problem;
  const std::optional<ConnectTarget> target = CheckConnectValues(values, problem);
  if (!target) {
    Add(TranscriptLine::Kind::Problem, problem);
    return false;
  }
  if (state_ != State::Offline) {
    Add(TranscriptLine::Kind::Notice, "Disconnected from " + Target() + ".");
    Finish();
  }
  lastValues_ = values;
  RememberValues(values, false);
  StartConnecting(*target);
  return true;
}

bool ChatClient::Reconnect() {
  if (!lastValues_) return false;
  values = *lastValues_;
  return Connect();
}

void ChatClient::Disconnect() {
  if (state_ == State::Offline || state_ == State::Leaving) return;
  Add(TranscriptLine::Kind::Notice, "Disconnected from " + Target() + ".");
  BeginLeaving();
}

void ChatClient::Quit(int timeoutMs) {
  if (state_ == State::Offline) return;
  Unwatch();
  if (state_ == State::Joined || state_ == State::Joining) connection_.leave(timeoutMs);
  Finish();
}

void ChatClient::StartConnecting(const ConnectTarget& target) {
  target_ = target;
  SetRoster({}, false);
  SetState(State::Connecting);
  Add(TranscriptLine::Kind::Notice, "Connecting to " + Target() + "...");
  deadline_.start(timeouts.connect);
  lookup_.start(target.address.host, target.address.port, timeouts.connect,
                [this](int fd, const std::vector<Endpoint>& resolved, const std::string& error) {
                  ServerReached(fd, resolved, error);
                });
}

void ChatClient::ServerReached(int fd, const std::vector<Endpoint>& resolved, const std::string& error) {
  if (fd < 0) {
    Add(TranscriptLine::Kind::Problem, "Could not connect to " + Target() + ": " + QString::fromStdString(error) + ".");
    Finish();
    return;
  }
  if (!UseTls(resolved)) {
    ::close(fd);
    return Finish();
  }
  if (!connection_.adopt(fd)) return NotSecured();
  Watch();
  Connected();
}

bool ChatClient::UseTls(const std::vector<Endpoint>& resolved) {
  if (!target_->tls) {
    connection_.useTls(nullptr);
    return true;
  }
  std::string error;
  if (!tlsContext_) tlsContext_ = TlsContext::Client(error);
  if (!tlsContext_) {
    Add(TranscriptLine::Kind::Problem, "Could not connect to " + Target() + ": " + QString::fromStdString(error) + ".");
    return false;
  }
  // A server picked from those found on the network is pinned under the
  // name it announced, one typed under what was typed.
  PinTarget pins;
  pins.chosen = target_->service.empty() ? KnownServerKey(target_->address.host, target_->address.port)
                                         : KnownServiceKey(target_->service);
  for (const Endpoint& endpoint : resolved) pins.also.push_back(KnownAddressKey(endpoint));
  connection_.useTls(tlsContext_, KnownServers().Check(std::move(pins), [this](const std::string& note) {
    Add(TranscriptLine::Kind::Notice, QString::fromStdString(note));
  }));
  return true;
}

void ChatClient::Connected() {
  SetState(State::Joining);
  deadline_.start(timeouts.join);
  if (!connection_.registerUser(target_->nick, target_->room)) return Lost();
  UpdateWriteWatch();
}

void ChatClient::Writable() {
  if (connection_.connecting()) {
    if (!connection_.finishConnect()) {
      Add(TranscriptLine::Kind::Problem,
          "Could not connect to " + Target() + ": " + QString::fromStdString(connection_.error()) + ".");
      return Finish();
    }
    if (!connection_.connecting()) Connected();
    return;
  }
  const bool securing = connection_.securing();
  if (!connection_.flush()) return securing ? NotSecured() : Lost();
  UpdateWriteWatch();
}

void ChatClient::NotSecured() {
  Add(TranscriptLine::Kind::Problem,
      "Could not connect to " + Target() + ": " + QString::fromStdString(connection_.error()) + ".");
  Finish();
}

void ChatClient::Readable() {
  if (connection_.connecting()) return Writable();
  if (connection_.securing()) {
    if (!connection_.readAvailable()) return NotSecured();
    if (connection_.securing()) return UpdateWriteWatch();
  }
  const bool open = connection_.readAvailable();
  TakePackets();
  if (state_ == State::Offline) return;
  if (!open) {
    if (state_ == State::Leaving) return Finish();
    return Lost();
  }
  UpdateWriteWatch();
}

void ChatClient::TakePackets() {
  while (state_ != State::Offline) {
    std::optional<ReceivedPacket> packet = connection_.nextPacket();
    if (!packet) return;
    Handle(*packet);
  }
}

void ChatClient::Handle(const ReceivedPacket& packet) {
  const QString nick = joinedNick_.isEmpty() && lastValues_ ? lastValues_->nick : joinedNick_;
  switch (packet.id) {
    case pidMessage: return Chat(packet.payload);
    case pidPrivateData: return Add(TranscriptLine::Kind::PrivateIn, FromWire(packet.payload));
    case pidAccessGranted: return Joined();
    case pidUserList: {
      QStringList names;
      for (const std::string& name : ParseUserList(packet.payload)) names.append(FromWire(name));
      return SetRoster(std::move(names), true);
    }
    case pidUserJoined: return RosterJoin(packet.payload);
    case pidUserLeft: return RosterLeave(packet.payload);
    case pidSameUserName:
      return Refused("The nickname " + nick + " is already in use on this server. Choose another and connect again.");
    case pidAccessDenied: return Refused("The server refused to let " + nick + " in.");
    case pidDisconnect: return Ended("The server asked this client to leave.");
    case pidKick: return Ended("The server kicked this client out.");
    default: return;  // pings are answered by the connection; nothing else needs a word
  }
}

void ChatClient::Chat(const std::string& wire) {
  const std::string relay = DecodeText(wire);
  TranscriptLine line;
  line.kind = TranscriptLine::Kind::Chat;
  line.time = QDateTime::currentDateTime();
  if (const std::optional<RelayText> parts = ParseRelayText(relay)) {
    line.relayForm = true;
    line.nick = FromWire(parts->nick);
    line.room = FromWire(parts->room);
    line.text = FromWire(parts->text);
  } else {
    line.text = FromWire(relay);
  }
  transcript_.append(line);
  if (view_) view_->LineAdded(line);
}

void ChatClient::Joined() {
  if (state_ != State::Joining) return;  // a second grant (we never register twice) changes nothing
  deadline_.stop();
  joinedNick_ = lastValues_->nick;
  RememberValues(*lastValues_, true);
  SetState(State::Joined);
  const QString room = lastValues_->room;
  Add(TranscriptLine::Kind::Notice,
      "Joined " + Target() + " as " + joinedNick_ + (room.isEmpty() ? "" : " in room " + room) + ".");
}

void ChatClient::RosterJoin(const std::string& wire) {
  QStringList names = roster_;
  names.append(FromWire(wire));
  SetRoster(std::move(names), true);
  Add(TranscriptLine::Kind::Notice, FromWire(wire) + " joined.");
}

void ChatClient::RosterLeave(const std::string& wire) {
  QStringList names = roster_;
  names.removeOne(FromWire(wire));
  SetRoster(std::move(names), rosterListed_);
  Add(TranscriptLine::Kind::Notice, FromWire(wire) + " left.");
}

void ChatClient::Refused(const QString& why) {
  Add(TranscriptLine::Kind::Problem, why);
  if (lastValues_) RememberValues(*lastValues_, false);
  BeginLeaving();
}

void ChatClient::Ended(const QString& why) {
  Add(TranscriptLine::Kind::Problem, why);
  BeginLeaving();
}

void ChatClient::Lost() {
  const QString reason = QString::fromStdString(connection_.error());
  Add(TranscriptLine::Kind::Problem,
      "The connection to " + Target() + " was lost" + (reason.isEmpty() ? "" : ": " + reason) + ".");
  Finish();
}

void ChatClient::TimedOut() {
  const QString seconds = [](int ms) { return QString::number((ms + 999) / 1000); }(
      state_ == State::Joining ? timeouts.join : timeouts.connect);
  switch (state_) {
    case State::Connecting:
      Add(TranscriptLine::Kind::Problem, "Could not connect to " + Target() + ": no answer within " + seconds +
                                             " seconds.");
      return Finish();
    case State::Joining:
      Add(TranscriptLine::Kind::Problem, "The server did not let us in within " + seconds + " seconds.");
      return Finish();
    case State::Leaving: return Finish();
    default: return;
  }
}

// Our side ends: the server reads the end and closes its side, which
// Readable() then sees. The deadline closes it anyway.
void ChatClient::BeginLeaving() {
  if (state_ == State::Connecting) return Finish();
  connection_.flush();
  connection_.shutdownSend();
  SetState(State::Leaving);
  deadline_.start(timeouts.leave);
  UpdateWriteWatch();
}

void ChatClient::Finish() {
  deadline_.stop();
  lookup_.cancel();
  Unwatch();
  connection_.close();
  joinedNick_.clear();
  SetRoster({}, false);
  SetState(State::Offline);
}

void ChatClient::Watch() {
  Unwatch();
  const int fd = connection_.fd();
  readWatch_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  QObject::connect(readWatch_.get(), &QSocketNotifier::activated, [this] { Readable(); });
  writeWatch_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
  QObject::connect(writeWatch_.get(), &QSocketNotifier::activated, [this] { Writable(); });
  UpdateWriteWatch();
}

// Called from inside a notifier's own signal too: the notifiers are
// disabled at once and deleted by the event loop afterwards.
void ChatClient::Unwatch() {
  for (std::unique_ptr<QSocketNotifier>* watch : {&readWatch_, &writeWatch_}) {
    if (!*watch) continue;
    (*watch)->setEnabled(false);
    watch->release()->deleteLater();
  }
}

void ChatClient::UpdateWriteWatch() {
  if (writeWatch_) writeWatch_->setEnabled(connection_.fd() >= 0 && connection_.wantsWrite());
}

bool ChatClient::Submit(const QString& line) {
  if (line.isEmpty()) return false;
  if (line.startsWith("//")) return SendChat(line.mid(1));
  if (!line.startsWith('/')) return SendChat(line);
  const QString command = line.section(' ', 0, 0);
  if (command == "/help") {
    ClearHint();
    Add(TranscriptLine::Kind::Notice, kCommands);
    return true;
  }
  if (command != "/msg") return Refuse("Unknown command " + command + ". Type /help for the commands.");
  const QString rest = line.mid(command.size()).trimmed();
  const qsizetype space = rest.indexOf(' ');
  if (space <= 0 || space + 1 >= rest.size()) return Refuse("Usage: /msg NICK TEXT");
  return SendPrivate(rest.left(space), rest.mid(space + 1));
}

bool ChatClient::SendChat(const QString& text) {
  if (state_ != State::Joined) return Refuse("Not in a chat: connect first.");
  QString missing;
  const std::optional<std::string> wire = ToWire(text, missing);
  if (!wire) return Refuse(MissingCharacterHint(missing));
  if (!connection_.sendChat(*wire)) {
    Lost();
    return false;
  }
  UpdateWriteWatch();
  ClearHint();
  return true;
}

bool ChatClient::SendPrivate(const QString& nick, const QString& text) {
  if (state_ != State::Joined) return Refuse("Not in a chat: connect first.");
  if (text.isEmpty()) return Refuse("Usage: /msg NICK TEXT");
  QString missing;
  const std::optional<std::string> nickWire = ToWire(nick, missing);
  const std::optional<std::string> data = nickWire ? ToWire(text, missing) : std::nullopt;
  if (!data) return Refuse(MissingCharacterHint(missing));
  if (!connection_.sendPrivate(*nickWire, *data)) {
    Lost();
    return false;
  }
  UpdateWriteWatch();
  ClearHint();
  Add(TranscriptLine::Kind::PrivateOut, text, nick);
  return true;
}

bool ChatClient::Refuse(const QString& why) {
  SetHint(why);
  return false;
}

void ChatClient::ClearTranscript() {
  transcript_.clear();
  if (view_) view_->TranscriptCleared();
}

void ChatClient::ClearHint() { SetHint({}); }

QString ChatClient::stateText() const {
  switch (state_) {
    case State::Offline: return "Not connected";
    case State::Connecting: return "Connecting to " + Target() + "...";
    case State::Joining: return "Joining " + Target() + "...";
    case State::Joined: return "Joined " + Target() + " as " + joinedNick_;
    case State::Leaving: return "Leaving " + Target() + "...";
  }
  return {};
}

QString ChatClient::rosterNote() const {
  if (rosterListed_) return {};
  switch (state_) {
    case State::Joined: return "This server does not list who is here.";
    case State::Connecting:
    case State::Joining: return "Joining...";
    default: return "Not connected.";
  }
}

void ChatClient::Add(TranscriptLine::Kind kind, const QString& text, const QString& nick) {
  TranscriptLine line;
  line.kind = kind;
  line.time = QDateTime::currentDateTime();
  line.nick = nick;
  line.text = text;
  transcript_.append(line);
  if (view_) view_->LineAdded(line);
}

void ChatClient::SetState(State state) {
  if (state_ == state) return;
  state_ = state;
  if (view_) view_->StateChanged();
  if (view_) view_->RosterChanged();  // its note follows the state
}

void ChatClient::SetRoster(QStringList names, bool listed) {
  if (names == roster_ && listed == rosterListed_) return;
  roster_ = std::move(names);
  rosterListed_ = listed;
  if (view_) view_->RosterChanged();
}

void ChatClient::SetHint(const QString& hint) {
  if (hint_ == hint) return;
  hint_ = hint;
  if (view_) view_->HintChanged();
}

QString ChatClient::Target() const {
  return target_ ? QString::fromStdString(ServerAddressText(target_->address)) : QString();
}

}  // namespace parlivo
