#include "client/known_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string_view>

#include "client/server_address.h"
#include "transport/platform/socket_address.h"

namespace parlivo {
namespace {

constexpr const char* kBlanks = " \t\r";

// Written at the top of a file the clients start.
constexpr const char* kHeader[] = {
    "# Server keys (SHA-256 fingerprints) the Parlivo chat clients have met, one a line:",
    "# HOST:PORT as typed, an ADDRESS:PORT a connection was made to, or a \"server name\" found",
    "# on the local network, then the fingerprint. Remove a line to forget that key.",
};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

// "AB:01:...": pairs of hex digits separated by colons.
bool IsFingerprint(std::string_view text) {
  if (text.size() % 3 != 2) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool colon = i % 3 == 2;
    if (colon ? text[i] != ':' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

// One line of the file as the check reads it.
struct PinLine {
  std::string key;          // the server it is about, in the form keys are compared in; empty for comments and blanks
  std::string shown;        // the key as the line writes it, for messages
  std::string fingerprint;  // upper case; empty when the line cannot be read
};

// Takes the key off the front of `rest`: a quoted server name (compared
// without regard to ASCII case, as DNS compares names), or HOST:PORT
// (compared in KnownServerKey's form, so that lines written as typed before
// that form existed still protect what they named).
std::string TakeKey(std::string_view& rest, std::string& shown) {
  if (rest.front() != '"') {
    const std::size_t end = std::min(rest.find_first_of(kBlanks), rest.size());
    shown = std::string(rest.substr(0, end));
    rest.remove_prefix(end);
    std::string ignored;
    const std::optional<ServerAddress> address = ParseServerAddress(shown, ignored);
    return address && address->portGiven ? KnownServerKey(address->host, address->port) : Lower(shown);
  }
  // A name without its closing quote is taken to the end of the line: it
  // still names the server it was about, and that server is refused.
  std::string name;
  std::size_t i = 1;
  for (; i < rest.size() && rest[i] != '"'; ++i) {
    if (rest[i] == '\\' && i + 1 < rest.size()) ++i;
    name += rest[i];
  }
  shown = std::string(rest.substr(0, i + 1));
  // Without its closing quote there is no fingerprint: the line cannot be read.
  rest = i < rest.size() ? rest.substr(i + 1) : std::string_view();
  return KnownServiceKey(Lower(name));
}

PinLine ReadPinLine(std::string_view line) {
  PinLine pin;
  const std::size_t start = line.find_first_not_of(kBlanks);
  if (start == std::string_view::npos || line[start] == '#') return pin;
  std::string_view rest = line.substr(start);
  pin.key = TakeKey(rest, pin.shown);
  // Exactly one fingerprint after the key, and nothing else.
  const std::size_t from = rest.find_first_not_of(kBlanks);
  if (from == std::string_view::npos || from == 0) return pin;  // none, or text stuck to a quoted name
  rest.remove_prefix(from);
  const std::size_t end = std::min(rest.find_first_of(kBlanks), rest.size());
  const std::string_view fingerprint = rest.substr(0, end);
  if (rest.find_first_not_of(kBlanks, end) != std::string_view::npos || !IsFingerprint(fingerprint)) return pin;
  pin.fingerprint = Upper(std::string(fingerprint));
  return pin;
}

// The key of `key` (as KnownServerKey or KnownServiceKey write it) in the
// form the file's keys are compared in.
std::string ComparedKey(const std::string& key) {
  if (key.empty()) return key;
  std::string_view rest = key;
  std::string shown;
  return TakeKey(rest, shown);
}

// The file's lines, or nullopt with `error` saying why it cannot be read.
// A file that does not exist holds no pins; anything else that stops the
// reading (no permission, a folder or a device in its place, an I/O error)
// is an error, never an empty store.
std::optional<std::vector<std::string>> ReadLines(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return std::vector<std::string>{};
    error = std::strerror(errno);
    return std::nullopt;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    error = S_ISDIR(status.st_mode) ? "it is a folder, not a file" : "it is not a plain file";
    ::close(fd);
    return std::nullopt;
  }
  std::string text;
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got > 0) {
      text.append(chunk, static_cast<std::size_t>(got));
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      error = std::strerror(errno);
      ::close(fd);
      return std::nullopt;
    }
  }
  ::close(fd);
  std::vector<std::string> lines;
  for (std::size_t from = 0; from < text.size();) {
    const std::size_t end = std::min(text.find('\n', from), text.size());
    lines.push_back(text.substr(from, end - from));
    from = end + 1;
  }
  return lines;
}

// Writes the file whole under a name of its own in the same folder and
// renames it over the old one, so that a crash leaves the old file or the
// new one, never half of one. mkostemp makes that name new (O_EXCL, mode
// 0600): a link planted in the folder is never written through, and nobody
// else can read the pins meanwhile.
bool WriteLines(const std::string& path, const std::vector<std::string>& lines, std::string& error) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    error = "cannot write " + path + " (" + std::strerror(errno) + ")";
    return false;
  }
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  written = ::fsync(fd) == 0 && written;
  written = ::close(fd) == 0 && written;
  if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path + " (" + std::strerror(errno) + ")";
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::string Unreadable(const std::string& path, const std::string& error) {
  return "the server's key cannot be checked: " + path + " cannot be read (" + error +
         "). Make it readable again, or move it aside to start afresh, and connect again";
}

// What the check decides for one connection (see KnownServers::Check).
bool CheckPins(const KnownServers& store, const PinTarget& target, const std::string& peerKey,
               const std::string& fingerprint, const std::function<void(const std::string&)>& note,
               std::string& why) {
  std::string error;
  const std::optional<std::vector<std::string>> lines = ReadLines(store.path(), error);
  if (!lines) {
    why = Unreadable(store.path(), error);
    return false;
  }
  std::set<std::string> keys = {ComparedKey(target.chosen), ComparedKey(peerKey)};
  for (const std::string& key : target.also) keys.insert(ComparedKey(key));
  std::set<std::string> pinned;
  for (std::size_t i = 0; i < lines->size(); ++i) {
    const PinLine pin = ReadPinLine((*lines)[i]);
    if (pin.key.empty() || keys.count(pin.key) == 0) continue;
    const std::string where = "line " + std::to_string(i + 1) + " of " + store.path();
    if (pin.fingerprint.empty()) {
      why = "the server's key cannot be checked: " + where + ", about " + pin.shown +
            ", is not NAME FINGERPRINT. Correct or remove that line and connect again";
      return false;
    }
    if (pin.fingerprint != Upper(fingerprint)) {
      why = "the server's key has changed: it was " + pin.fingerprint + " and is now " + fingerprint +
            " (pinned for " + pin.shown + " on " + where +
            "). Somebody may be listening in. If the operator made a new key, remove that line and connect again";
      return false;
    }
    pinned.insert(pin.key);
  }
  // The name and the address a connection was made to are remembered; the
  // other addresses of the name may be other machines.
  std::vector<std::string> missing;
  for (const std::string& key : {target.chosen, peerKey}) {
    if (!key.empty() && pinned.count(ComparedKey(key)) == 0 &&
        std::find(missing.begin(), missing.end(), key) == missing.end())
      missing.push_back(key);
  }
  if (missing.empty()) return true;
  const bool kept = store.Remember(missing, fingerprint, error);
  if (pinned.empty() && note) {
    std::string names;
    for (const std::string& key : missing) names += (names.empty() ? "" : " and ") + key;
    note("The server's key fingerprint (SHA-256) is " + fingerprint +
         (kept ? "; remembered for " + names + "." : "; it could not be remembered: " + error + "."));
  }
  return true;
}

}  // namespace

std::string KnownServerKey(const std::string& host, std::uint16_t port) {
  std::string form;
  if (const std::optional<SockAddrStorage> numeric = ParseNumericAddress(host, port)) form = AddressText(*numeric);
  if (form.empty()) form = Lower(host);
  return EndpointText(form, port);
}

std::string KnownAddressKey(const Endpoint& endpoint) {
  const SockAddrStorage address = FromPosixAddress(reinterpret_cast<const sockaddr&>(endpoint.address));
  // Both families keep the port in the same place, in network order.
  return KnownServerKey(AddressText(address), ntohs(address.ipv4().port));
}

std::string KnownServiceKey(const std::string& name) {
  std::string key = "\"";
  for (char c : name) {
    if (c == '"' || c == '\\') key += '\\';
    key += c;
  }
  return key + "\"";
}

std::string KnownServers::DefaultPath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config != nullptr && *config != '\0') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr ? home : ".") + "/.config";
  }
  return base + "/parlivo/known_servers";
}

std::optional<std::string> KnownServers::Pinned(const std::string& key) const {
  std::string error;
  const std::optional<std::vector<std::string>> lines = ReadLines(path_, error);
  if (!lines) return std::nullopt;
  const std::string wanted = ComparedKey(key);
  for (const std::string& line : *lines) {
    const PinLine pin = ReadPinLine(line);
    if (pin.key == wanted && !pin.fingerprint.empty()) return pin.fingerprint;
  }
  return std::nullopt;
}

bool KnownServers::Remember(const std::vector<std::string>& keys, const std::string& fingerprint,
                            std::string& error) const {
  std::string why;
  std::optional<std::vector<std::string>> lines = ReadLines(path_, why);
  if (!lines) {
    error = Unreadable(path_, why);
    return false;
  }
  if (lines->empty()) lines->assign(std::begin(kHeader), std::end(kHeader));
  std::set<std::string> replaced;
  for (const std::string& key : keys) replaced.insert(ComparedKey(key));
  // Only the pins of these keys go; lines that cannot be read stay as the
  // user left them.
  std::erase_if(*lines, [&](const std::string& line) {
    const PinLine pin = ReadPinLine(line);
    return !pin.fingerprint.empty() && replaced.count(pin.key) != 0;
  });
  for (const std::string& key : keys) lines->push_back(key + " " + fingerprint);
  return WriteLines(path_, *lines, error);
}

ChatConnection::PeerCheck KnownServers::Check(PinTarget target, std::function<void(const std::string&)> note) const {
  return [store = *this, target = std::move(target), note = std::move(note)](
             const std::string& fingerprint, const Endpoint& peer, std::string& why) {
    return CheckPins(store, target, KnownAddressKey(peer), fingerprint, note, why);
  };
}

}  // namespace parlivo
