#include "client/known_servers.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace parlivo {
namespace {

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

// The server a line is about, and its fingerprint; nothing for comments and blanks.
bool SplitLine(const std::string& line, std::string& server, std::string& fingerprint) {
  std::istringstream words(line);
  if (!(words >> server) || server[0] == '#') return false;
  return static_cast<bool>(words >> fingerprint);
}

}  // namespace

std::string KnownServerKey(const std::string& host, std::uint16_t port) {
  std::string lower = host;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  // An IPv6 address in brackets, as users type it with a port.
  const bool ipv6 = lower.find(':') != std::string::npos;
  return (ipv6 ? "[" + lower + "]" : lower) + ":" + std::to_string(port);
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

std::optional<std::string> KnownServers::Pinned(const std::string& server) const {
  std::string name;
  std::string fingerprint;
  for (const std::string& line : ReadLines(path_))
    if (SplitLine(line, name, fingerprint) && name == server) return fingerprint;
  return std::nullopt;
}

bool KnownServers::Remember(const std::string& server, const std::string& fingerprint, std::string& error) const {
  std::vector<std::string> lines = ReadLines(path_);
  std::string name;
  std::string old;
  lines.erase(std::remove_if(lines.begin(), lines.end(),
                             [&](const std::string& line) { return SplitLine(line, name, old) && name == server; }),
              lines.end());
  lines.push_back(server + " " + fingerprint);

  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ignored);
  // Written whole under another name and renamed, so that a crash leaves
  // the old file or the new one, never half of one.
  const std::string temporary = path_ + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  bool written = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  written = fd >= 0 && ::fsync(fd) == 0 && written;
  if (fd >= 0) written = ::close(fd) == 0 && written;
  if (!written || std::rename(temporary.c_str(), path_.c_str()) != 0) {
    std::remove(temporary.c_str());
    error = "cannot write " + path_;
    return false;
  }
  return true;
}

ChatConnection::PeerCheck KnownServers::Check(const std::string& server,
                                              std::function<void(const std::string&)> note) const {
  return [store = *this, server, note = std::move(note)](const std::string& fingerprint, std::string& why) {
    const std::optional<std::string> pinned = store.Pinned(server);
    if (!pinned) {
      std::string error;
      const bool kept = store.Remember(server, fingerprint, error);
      if (note) {
        note("The server's key fingerprint (SHA-256) is " + fingerprint +
             (kept ? "; remembered for " + server + "." : "; it could not be remembered: " + error + "."));
      }
      return true;
    }
    if (*pinned == fingerprint) return true;
    why = "the server's key has changed: it was " + *pinned + " and is now " + fingerprint +
          ". Somebody may be listening in. If the operator made a new key, remove the line of " + server +
          " from " + store.path() + " and connect again";
    return false;
  };
}

}  // namespace parlivo
