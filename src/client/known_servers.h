#pragma once
// KnownServers: the servers' key fingerprints a user's clients have met, in
// a file of the user's, one pin a line:
//
//   box.lan:4001 37:49:...           a host name or address the user typed, with the port
//   192.168.1.5:4001 37:49:...       an address a connection was made to
//   "Lab chat" 37:49:...             a server's name on the local network (DNS-SD), quoted
//   # a comment
//
// Trust on first use, as SSH does with host keys: the first encrypted
// connection to a server remembers its fingerprint; later ones must show
// the same, and a different one is refused, because that is what a machine
// in the middle would show. An operator who made a new key on purpose tells
// the users, who remove the line (the refusal says which file and line).
//
// A connection is checked against every pin that concerns it: the name the
// user chose, each address that name resolved to, and the address the
// connection was made to. One pin that differs refuses it. So a key pinned
// for an address protects every name that leads there ("localhost:4001"
// cannot show another key than "127.0.0.1:4001"), and a pinned name keeps
// its key wherever it leads now (an announcement or a name server that
// points it at another machine does not get it pinned afresh). A connection
// that passes remembers the name and the address it was made to: the
// address line beside each name is what protects the other names of the
// same machine.
//
// Hosts in pins are compared in one form: a name in lower case, an address
// as the system writes it (127.1 and 0x7f.0.0.1 are 127.0.0.1, an
// IPv4-mapped IPv6 address is its IPv4 address, IPv6 compressed in lower
// case). Lines written before that form existed still count.
//
// The store fails closed. A file that cannot be read (no permission, a
// folder in its place, an I/O error) refuses every encrypted connection and
// is never rewritten: a client that went on would trust any key and lose
// the other pins. A line about the server being connected to that cannot be
// read refuses that connection rather than pin the server again. Lines it
// cannot read about other servers are kept as they are.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client/chat_connection.h"

namespace parlivo {

// What one connection's key is checked against.
struct PinTarget {
  // The name the user chose (KnownServerKey or KnownServiceKey): checked,
  // and remembered with the key.
  std::string chosen;
  // Other keys the connection answers to: every address the name resolved
  // to (KnownAddressKey), and any other reading of the name. Checked, not
  // remembered. The address the connection was made to is added by the check.
  std::vector<std::string> also;
};

class KnownServers {
 public:
  // $XDG_CONFIG_HOME/parlivo/known_servers, or ~/.config/parlivo/known_servers.
  static std::string DefaultPath();

  explicit KnownServers(std::string path = DefaultPath()) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }

  // The fingerprint pinned for `key`, if any (nothing when the file cannot
  // be read either: Check tells the two apart).
  std::optional<std::string> Pinned(const std::string& key) const;
  // Pins `fingerprint` for each of `keys`, replacing their pins. False, with
  // `error` set, when the file cannot be read (it is then left alone) or
  // written.
  bool Remember(const std::vector<std::string>& keys, const std::string& fingerprint, std::string& error) const;

  // The check a connection runs once its handshake is done: remembers a
  // first fingerprint (telling `note` so), passes the same one, and refuses
  // a changed one with a reason that names both, the key and the line.
  ChatConnection::PeerCheck Check(PinTarget target, std::function<void(const std::string&)> note = {}) const;

 private:
  std::string path_;
};

// How a host the user typed is named in the file: its host in the one form
// above (an IPv6 address in brackets) and its port.
std::string KnownServerKey(const std::string& host, std::uint16_t port);
// The same for an address a connection was made to or a name resolved to.
std::string KnownAddressKey(const Endpoint& endpoint);
// A server's name on the local network, quoted ('"' and '\' escaped with '\').
std::string KnownServiceKey(const std::string& name);

}  // namespace parlivo
