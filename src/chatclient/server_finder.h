#pragma once
// ServerFinder: the client window's list of chat servers on the local
// network, kept up to date from a ServiceBrowser as servers come and go,
// with a line that says how the search stands. Picking an entry gives the
// text for the connect form's server field.

#include <QString>
#include <functional>

#include "discovery/found_servers.h"
#include "discovery/service_browser.h"

namespace parlivo {

class ServerFinder {
 public:
  // `browser` must outlive the finder; Start begins the search.
  explicit ServerFinder(ServiceBrowser& browser);
  ~ServerFinder();
  ServerFinder(const ServerFinder&) = delete;
  ServerFinder& operator=(const ServerFinder&) = delete;

  void Start();

  // Called after the list or the note changed.
  std::function<void()> OnChanged;

  const std::vector<FoundServer>& servers() const { return found_.servers(); }
  // How the search stands, for the view to show with (or instead of) the list.
  QString note() const;
  // "ADDRESS:PORT" of the entry at `index`, for the server field; empty for
  // an index outside the list.
  QString ServerFieldText(std::size_t index) const;
  // The entry as one line of the list: "NAME  (host:port)".
  static QString EntryText(const FoundServer& server);

 private:
  void Changed();

  ServiceBrowser& browser_;
  FoundServers found_;
  bool searching_ = false;
  bool searched_ = false;  // the responder has told what it knew at the start
  QString problem_;
};

}  // namespace parlivo
