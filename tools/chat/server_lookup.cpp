#include "server_lookup.h"

#include <QEventLoop>
#include <QTimer>

#include "discovery/avahi_browser.h"

namespace parlivo {

BrowseResult BrowseServers(int timeoutMs, const std::string& wanted) {
  BrowseResult result;
  QEventLoop loop;
  AvahiBrowser browser;
  bool allForNow = false;
  const auto done = [&] {
    if (wanted.empty()) return false;
    return result.servers.Find(wanted).has_value() || allForNow;
  };
  browser.OnFound = [&](const FoundServer& server) {
    result.servers.Update(server);
    if (done()) loop.quit();
  };
  browser.OnLost = [&](const std::string& name) { result.servers.Remove(name); };
  browser.OnAllForNow = [&] {
    // What the responder knew at once; resolving may still be under way,
    // so a wanted name gets a moment more.
    if (!wanted.empty()) QTimer::singleShot(500, &loop, [&] {
      allForNow = true;
      loop.quit();
    });
  };
  browser.OnProblem = [&](const std::string& reason) {
    result.problem = reason;
    loop.quit();
  };
  QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
  browser.Start();
  if (result.problem.empty() && !done()) loop.exec();
  browser.Stop();
  return result;
}

}  // namespace parlivo
