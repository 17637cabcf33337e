#pragma once
// KnownServers: the servers' key fingerprints a user's clients have met,
// one line per server ("HOST:PORT FINGERPRINT"), in a file of the user's.
//
// Trust on first use, as SSH does with host keys: the first encrypted
// connection to a server remembers its fingerprint; later ones must show
// the same, and a different one is refused, because that is what a machine
// in the middle would show. An operator who made a new key on purpose tells
// the users, who remove the line (the refusal says which file and line).

#include <optional>
#include <string>

#include "client/chat_connection.h"

namespace parlivo {

class KnownServers {
 public:
  // $XDG_CONFIG_HOME/parlivo/known_servers, or ~/.config/parlivo/known_servers.
  static std::string DefaultPath();

  explicit KnownServers(std::string path = DefaultPath()) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }

  // The fingerprint remembered for `server` ("host:port"), if any.
  std::optional<std::string> Pinned(const std::string& server) const;
  // Remembers `fingerprint` for `server`, replacing what was there. False,
  // with `error` set, when the file cannot be written.
  bool Remember(const std::string& server, const std::string& fingerprint, std::string& error) const;

  // The check a connection runs once its handshake is done: remembers a
  // first fingerprint (telling `note` so), passes the same one, and refuses
  // a changed one with a reason that names both.
  ChatConnection::PeerCheck Check(const std::string& server,
                                  std::function<void(const std::string&)> note = {}) const;

 private:
  std::string path_;
};

// How a server is named in the file: its host in lower case (an IPv6
// address in brackets) and its port.
std::string KnownServerKey(const std::string& host, std::uint16_t port);

}  // namespace parlivo
