#pragma once
// A form with a recording view, its settings in a temporary folder, and
// real chat clients over 127.0.0.1.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/main_form.h"
#include "chat_peer.h"
#include "client/chat_connection.h"
#include "encoding/text_codec.h"
#include "event_loop.h"
#include "fake_advertiser.h"
#include "fake_desktop.h"
#include "peer_address_api.h"

namespace parlivo::testing {

// A port that was free a moment ago.
inline std::uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

struct RecordingView : FormView {
  std::vector<std::string> log;
  int minimized = 0;
  bool taskbarButton = true;
  std::vector<std::string> opened;
  std::vector<bool> offline;  // restartPending of every ServerWentOffline

  void MinimizeApplication() override { ++minimized; }
  void ShowTaskbarButton(bool shown) override { taskbarButton = shown; }
  void OpenFile(const std::string& path) override { opened.push_back(path); }
  void LogAppended(const std::string& line) override { log.push_back(line); }
  void ServerWentOffline(bool restartPending) override { offline.push_back(restartPending); }
};

using Client = ChatPeer;

struct FormFixture : ::testing::Test {
  FormFixture() {
    form.chkTray.SetChecked(false);
    form.Server->SetMaxPing(20);
    port = FreePort();
    form.edPort.Text = std::to_string(port);
  }
  ~FormFixture() override {
    if (!form.Server) return;  // closed by the test
    form.Server->ClientStatusUpdate = UpdateNone;  // nothing more to the clients, so they close cleanly
    PumpFor(10);
    for (auto& client : clients) client->Poll();
    clients.clear();
    form.FormCloseQuery();
  }

  std::string DataHome() const { return home.path().toStdString(); }
  // Starts the server; true when it listens.
  bool Start() {
    form.sbRunClick();
    return form.Server->Listen();
  }
  Client& Connect() {
    clients.push_back(std::make_unique<Client>());
    Client& client = *clients.back();
    EXPECT_TRUE(client.connection.connect("127.0.0.1", port, 2000)) << client.connection.error();
    return client;
  }
  // Connects and registers; waits until the roster lists the nickname.
  Client& Join(const std::string& nick, const std::string& room) {
    Client& client = Connect();
    client.connection.registerUser(nick, room);
    EXPECT_TRUE(WaitUntil([&] { return form.lvClients.IndexOf(nick) >= 0; })) << nick;
    return client;
  }
  // Closes a client the polite way: it ends its side, waits until the server
  // has let it go, then closes. A client that simply closes while a ping it
  // has not read waits in its buffer resets the connection, and a reset
  // takes the whole server offline.
  void Leave(Client& client) {
    const std::size_t before = form.Server->Clients->Count();
    ::shutdown(client.connection.fd(), SHUT_WR);
    EXPECT_TRUE(WaitUntil([&] { return form.Server->Clients->Count() < before; }));
    client.connection.close();
  }
  // Runs the event loop, polling every client (so they answer pings), until
  // `done()` holds or the time-out passed.
  template <typename Predicate>
  bool WaitUntil(Predicate done, int timeoutMs = 3000) {
    return PumpUntil([&] {
      for (auto& client : clients) client->Poll();
      return done();
    }, timeoutMs);
  }
  // Lets traffic settle and polls every client.
  void Settle(int ms = 40) {
    PumpFor(ms);
    for (auto& client : clients) client->Poll();
  }
  std::size_t CountLines(const std::string& line) const {
    return static_cast<std::size_t>(std::count(view.log.begin(), view.log.end(), line));
  }

  QTemporaryDir home;
  RecordingView view;
  FakeDesktop desktop;
  PeerAddressApi api;
  FakeAdvertiser advertiser;
  TfrmServer form{api, view, desktop.Services(), FormEnvironment{home.path().toStdString(), "parlivo-server"},
                  &advertiser};
  std::uint16_t port = 0;
  std::vector<std::unique_ptr<Client>> clients;
};

}  // namespace parlivo::testing
