#pragma once
// One chat client program in a test: a connection from the client library
// and every packet it received except pings (which it answers).

#include <algorithm>
#include <string>
#include <vector>

#include "client/chat_connection.h"

namespace parlivo::testing {

struct ChatPeer {
  ChatConnection connection;
  std::vector<ReceivedPacket> received;

  // Takes what has arrived, without waiting.
  void Poll() {
    connection.readAvailable();
    while (auto packet = connection.nextPacket())
      if (packet->id != 9) received.push_back(std::move(*packet));
  }
  std::vector<std::int32_t> Ids() const {
    std::vector<std::int32_t> ids;
    for (const auto& p : received) ids.push_back(p.id);
    return ids;
  }
  std::vector<std::string> Payloads(std::int32_t id) const {
    std::vector<std::string> payloads;
    for (const auto& p : received)
      if (p.id == id) payloads.push_back(p.payload);
    return payloads;
  }
  bool Has(std::int32_t id) const {
    return std::any_of(received.begin(), received.end(), [id](const ReceivedPacket& p) { return p.id == id; });
  }
};

}  // namespace parlivo::testing
