#include "chatclient/server_finder.h"

namespace parlivo {

ServerFinder::ServerFinder(ServiceBrowser& browser) : browser_(browser) {
  browser_.OnFound = [this](const FoundServer& server) {
    if (found_.Update(server)) Changed();
  };
  browser_.OnLost = [this](const std::string& name) {
    if (found_.Remove(name)) Changed();
  };
  browser_.OnAllForNow = [this] {
    searched_ = true;
    Changed();
  };
  browser_.OnProblem = [this](const std::string& reason) {
    problem_ = QString::fromStdString(reason);
    found_.Clear();
    Changed();
  };
}

ServerFinder::~ServerFinder() {
  browser_.OnFound = nullptr;
  browser_.OnLost = nullptr;
  browser_.OnAllForNow = nullptr;
  browser_.OnProblem = nullptr;
}

void ServerFinder::Start() {
  searching_ = true;
  browser_.Start();
  Changed();
}

QString ServerFinder::note() const {
  if (!problem_.isEmpty()) return "Cannot look for servers (" + problem_ + "): type the server's address above.";
  if (!found_.servers().empty()) return "Click a server to use it, double-click to connect.";
  if (searching_ && !searched_) return "Looking for servers on the local network...";
  return "No server announces itself on the local network: type its address above.";
}

QString ServerFinder::ServerFieldText(std::size_t index) const {
  if (index >= found_.servers().size()) return {};
  const FoundServer& server = found_.servers()[index];
  return QString::fromStdString(server.address) + ":" + QString::number(server.port);
}

QString ServerFinder::EntryText(const FoundServer& server) {
  return QString::fromStdString(server.name) + "  (" + QString::fromStdString(server.host) + ":" +
         QString::number(server.port) + (server.tlsPort != 0 ? ", TLS " + QString::number(server.tlsPort) : "") + ")";
}

void ServerFinder::Changed() {
  if (OnChanged) OnChanged();
}

}  // namespace parlivo
