#pragma once
// The values of the connect form (server address, nickname, room), how they
// are checked, remembered between runs and taken from the command line.

#include <QString>
#include <QStringList>
#include <optional>
#include <string>

#include "client/server_address.h"

namespace parlivo {

// The form as the user typed it, in Unicode.
struct ConnectValues {
  QString server;  // "HOST" or "HOST:PORT"
  QString nick;
  QString room;
  // Connect encrypted (TLS), to the server's TLS port.
  bool tls = false;
  // The name the server announced itself under on the local network, when
  // `server` is the address it was found at (picked from the list, not
  // typed). Its key is pinned under that name, so that a machine announcing
  // the same name later is refused rather than trusted as new.
  QString service{};
  bool operator==(const ConnectValues&) const = default;
};

// Checked values, ready for the wire: nickname and room in Windows-1252.
struct ConnectTarget {
  ServerAddress address;  // without a port given: the default plain or TLS port
  bool tls = false;
  std::string nick;
  std::string room;
  std::string service;  // UTF-8, as announced; empty when the address was typed
};

// The target of `values`, or nullopt with `problem` saying in plain words
// what is wrong: no or a bad server address, no nickname, a control
// character, or a character Windows-1252 lacks.
std::optional<ConnectTarget> CheckConnectValues(const ConnectValues& values, QString& problem);

// What the last run left (QSettings of organisation "Mossfold", application
// "parlivo-client": ~/.config/Mossfold/parlivo-client.conf on Linux), or the
// first-run values: this machine's server, the login name, no room.
// `joinAtStart` tells whether those values last led to a join.
struct RememberedValues {
  ConnectValues values;
  bool joinAtStart = false;
};
RememberedValues LoadRememberedValues();
// Remembers the values of a connect; `joined` records whether they led to a
// join, which makes the next plain start join at once.
void RememberValues(const ConnectValues& values, bool joined);

// What the command line asks for.
struct ClientCommandLine {
  // When set, the program ends at once with this status after printing
  // `output` (to standard output) or `error` (to standard error).
  std::optional<int> exitStatus;
  QString output;
  QString error;
  // The values given, over the remembered ones; `joinAtStart` when at least
  // the server and the nickname were given.
  RememberedValues start;
};

// Parses `arguments` (the program name first): [--tls] [HOST[:PORT] [NICK [ROOM]]],
// --help, --version. `remembered` fills what the command line leaves out; a
// server given is typed, so no announced name goes with it.
ClientCommandLine ParseClientCommandLine(const QStringList& arguments, const RememberedValues& remembered,
                                         const QString& version);

}  // namespace parlivo
