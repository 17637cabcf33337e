#pragma once
// ChatClient: the chat window's logic as a model, without any widget.
//
// It holds what the window shows (the connect form's values, the
// transcript, who is here, a hint for the input line, the state in plain
// words) and does what the window's controls ask: connect, reconnect,
// disconnect, send a typed line, clear. A view binds to it and learns of
// changes through ChatClientView; tests drive it the same way.
//
// The connection is a ChatConnection in non-blocking mode, watched by
// QSocketNotifiers on the event loop of the thread that owns the model; no
// call blocks that loop. The host lookup runs on a worker (HostLookup).
// Every wait is bounded: connecting, being let in, and leaving each have a
// time-out. Pings are answered by the connection, so the client shows in
// the operator's roster.
//
// No exception leaves a public function: every failure becomes a line in
// the transcript and a state change.

#include <QSocketNotifier>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <memory>
#include <optional>
#include <string>

#include "chatclient/connect_values.h"
#include "chatclient/host_lookup.h"
#include "chatclient/transcript.h"
#include "client/chat_connection.h"
#include "tls/tls_identity.h"

namespace parlivo {

// What a view hears from the model. Each call comes after the model has
// changed; a view reads what it needs from the model then.
class ChatClientView {
 public:
  virtual ~ChatClientView() = default;
  virtual void LineAdded(const TranscriptLine& line) = 0;
  virtual void TranscriptCleared() = 0;
  virtual void RosterChanged() = 0;
  virtual void StateChanged() = 0;
  virtual void HintChanged() = 0;
};

class ChatClient {
 public:
  enum class State {
    Offline,     // no connection
    Connecting,  // looking up the server or connecting to it
    Joining,     // connected, waiting for the server to let us in
    Joined,      // chatting
    Leaving,     // our side is closed; waiting for the server to close its side
  };

  // Time-outs in milliseconds; tests shorten them.
  struct Timeouts {
    int connect = 10000;  // lookup and connection
    int join = 10000;     // from connected to let in or refused
    int leave = 2000;     // from our end of sending to the closed connection
  };

  explicit ChatClient(ChatClientView* view = nullptr);
  ~ChatClient();
  ChatClient(const ChatClient&) = delete;
  ChatClient& operator=(const ChatClient&) = delete;

  void setView(ChatClientView* view) { view_ = view; }
  Timeouts timeouts;

  // The connect form. Connect() reads it; a view writes it.
  ConnectValues values;

  // Connects with `values` (remembered for the next run). False, with a
  // Problem line saying why, when they are unusable; while connected, the
  // current connection ends first.
  bool Connect();
  // Connects again with the values of the last Connect().
  bool Reconnect();
  bool canReconnect() const { return lastValues_.has_value() && state_ == State::Offline; }
  // Leaves politely: our sending side ends and the server closes its side.
  void Disconnect();
  // Ends the connection at once (the program is closing): what is queued is
  // written as far as it goes within `timeoutMs`, then the socket closes.
  void Quit(int timeoutMs);

  // One line from the input: "/msg NICK TEXT" sends private data, "//TEXT"
  // sends chat that starts with '/', "/help" lists the commands, any other
  // line is chat. False when the line was not sent; hint() says why and the
  // view keeps the line for the user to fix.
  bool Submit(const QString& line);
  // Private data to one nickname.
  bool SendPrivate(const QString& nick, const QString& text);
  void ClearTranscript();
  void ClearHint();

  State state() const { return state_; }
  // The state in plain words, for a status bar.
  QString stateText() const;
  const Transcript& transcript() const { return transcript_; }
  // Who is here, as the server listed them (IDs 21, 22, 23), in its order.
  const QStringList& roster() const { return roster_; }
  // False while the server has not listed anybody: it lists nobody when its
  // listing mode is off, and then the view says so instead of an empty list.
  bool rosterListed() const { return rosterListed_; }
  // What the view shows in place of the roster when it has no list.
  QString rosterNote() const;
  const QString& hint() const { return hint_; }
  // The nickname we joined with (empty unless joined or leaving).
  const QString& nick() const { return joinedNick_; }

 private:
  void StartConnecting(const ConnectTarget& target);
  // The lookup and connection ended: a connected socket and the addresses
  // the server was found at, or -1 and why not.
  void ServerReached(int fd, const std::vector<Endpoint>& resolved, const std::string& error);
  // Sets the connection up for TLS (or plain TCP) as the target asks, the
  // server's key checked under the chosen name and the addresses it was
  // found at; false, with a Problem line, when TLS cannot start.
  bool UseTls(const std::vector<Endpoint>& resolved);
  void Connected();
  // The TLS handshake or the check of the server's key failed.
  void NotSecured();
  void Readable();
  void Writable();
  void TakePackets();
  void Handle(const ReceivedPacket& packet);
  void Chat(const std::string& wire);
  void Joined();
  void RosterJoin(const std::string& wire);
  void RosterLeave(const std::string& wire);
  void Refused(const QString& why);
  void Ended(const QString& why);
  void Lost();
  void TimedOut();
  void BeginLeaving();
  void Finish();
  void Watch();
  void Unwatch();
  void UpdateWriteWatch();
  bool SendChat(const QString& text);
  bool Refuse(const QString& why);
  void Add(TranscriptLine::Kind kind, const QString& text, const QString& nick = {});
  void SetState(State state);
  void SetRoster(QStringList names, bool listed);
  void SetHint(const QString& hint);
  QString Target() const;

  ChatClientView* view_ = nullptr;
  State state_ = State::Offline;
  ChatConnection connection_;
  std::shared_ptr<TlsContext> tlsContext_;  // made at the first encrypted connection
  HostLookup lookup_;
  std::unique_ptr<QSocketNotifier> readWatch_;
  std::unique_ptr<QSocketNotifier> writeWatch_;
  QTimer deadline_;  // the time-out of the current step
  std::optional<ConnectValues> lastValues_;
  std::optional<ConnectTarget> target_;
  QString joinedNick_;
  Transcript transcript_;
  QStringList roster_;
  bool rosterListed_ = false;
  QString hint_;
  bool ending_ = false;  // the server's refusal or ending is told; the close needs no word
};

}  // namespace parlivo
