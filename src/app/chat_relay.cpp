// What the server application does with its clients' traffic: log
// arrivals and departures, relay every chat text to every connection, and
// keep the roster in step with the registered clients.

#include "app/main_form.h"
#include "encoding/text_codec.h"

namespace parlivo {

void TfrmServer::ServerClientConnected(TDadideVUDServer*, TDadideVUDServerClient* Client) {
  Log("Incomming connection from IP " + Client->Host + " detected!");
}

void TfrmServer::ServerClientDisconnected(TDadideVUDServer*, TDadideVUDServerClient* Client) {
  listedAs_.erase(Client);
  if (Client->UserName.empty()) return;  // never registered: nothing to say
  Log(ClientText(Client->UserName) + " has left...");
  try {
    lvClients.Remove(Client->UserName);
    view_.RosterChanged();
  } catch (...) {
    // A roster that cannot be updated must not break the server's close
    // handling; the line above has been logged already.
  }
}

void TfrmServer::ServerClientMessageCome(TDadideVUDServer*, TDadideVUDServerClient* Client,
                                         const std::string& TheMessage) {
  const std::string text = DecodeText(TheMessage);
  const std::string prefix = "[BC from " + Client->UserName + " @ " + Client->Room + "]: ";
  // Every client refuses a packet over the limit, and would lose its
  // connection over it: a text whose relay would not fit is not relayed.
  const std::size_t relayLength = EncodedLength(prefix.size() + text.size());
  if (relayLength > static_cast<std::size_t>(kMaxPacketSize - kPacketHeaderSize)) {
    Log("Not relayed: a text of " + std::to_string(text.size()) + " bytes from " + Who(Client) +
        ", which with its sender's name would not fit in one packet (" + std::to_string(kMaxPacketSize) +
        " bytes).");
    return;
  }
  Log("Broadcasting \"" + ClientText(text) + "\" from " + ClientText(Client->UserName) + " (" +
      ClientText(Client->Room) + ") (" + Client->Host + ")");
  // Encoded once, the same bytes go to every connection, the sender and
  // unregistered connections included.
  const std::string relay = EncodeText(prefix + text);
  const auto length = static_cast<std::int32_t>(relay.size());

  // A connection whose send fails leaves without costing the others their
  // copy: the walk skips it and goes on. A large text is held once for all.
  if (relay.size() >= TDadideVUDServer::kSharePacketsFrom) {
    const SharedPacket packet = MakeSharedPacket(MakePacket(length, pidMessage, relay.data()));
    Server->ForEachClient(WalkOrder::FirstToLast,
                          [&](TDadideVUDServerClient* client) { Server->SendPacket(client, packet); });
    return;
  }
  Server->ForEachClient(WalkOrder::FirstToLast, [&](TDadideVUDServerClient* client) {
    Server->SendClientMessage(client, relay.data(), length);
  });
}

std::string TfrmServer::Who(const TDadideVUDServerClient* client) {
  if (client->UserName.empty()) return "Client at IP " + client->Host;
  return ClientText(client->UserName) + " (" + client->Host + ")";
}

void TfrmServer::ServerNotice(TDadideVUDServer*, const std::string& Text) { Log(Text); }

void TfrmServer::ServerClientStalled(TDadideVUDServer*, TDadideVUDServerClient* Client, std::size_t ReceivedBytes) {
  Log(Who(Client) + " stopped sending in the middle of a packet and is disconnected (" +
      std::to_string(ReceivedBytes) + " bytes of it received).");
}

void TfrmServer::ServerClientTimeOut(TDadideVUDServer*, TDadideVUDServerClient* Client, bool& ForceDisconnectClient) {
  if (Client->MissedPings < MaxMissedPings) return;
  Log(Who(Client) + " did not answer " + std::to_string(Client->MissedPings) + " pings and is disconnected.");
  ForceDisconnectClient = true;
}

void TfrmServer::ServerClientTooSlow(TDadideVUDServer*, TDadideVUDServerClient* Client, std::size_t WaitingBytes) {
  Log(Who(Client) + " reads too slowly and is disconnected (" + std::to_string(WaitingBytes) +
      " bytes waiting to be sent).");
}

void TfrmServer::ServerClientPong(TDadideVUDServer*, TDadideVUDServerClient* Client) {
  if (Client->UserName.empty()) return;
  listedAs_[Client] = Client->UserName;
  if (lvClients.IndexOf(Client->UserName) >= 0) return;
  lvClients.Add(Client->UserName, Client->Room);
  view_.RosterChanged();
  Log(ClientText(Client->UserName) + " has joined.");
}

void TfrmServer::ServerGetUserName(TDadideVUDServer*, TDadideVUDServerClient* Client, bool&, const char*,
                                   const char*) {
  // The others hear of the new name only (no ID 23 for the old one is the
  // protocol); the operator's roster lets the old row go, as at a departure.
  const auto listed = listedAs_.find(Client);
  if (listed == listedAs_.end()) return;
  const std::string old = std::move(listed->second);
  listedAs_.erase(listed);
  Log(ClientText(old) + " has left...");
  lvClients.Remove(old);
  view_.RosterChanged();
}

}  // namespace parlivo
