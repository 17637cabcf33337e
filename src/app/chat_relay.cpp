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
  if (Client->UserName.empty()) return;  // never registered: nothing to say
  Log(Client->UserName + " has left...");
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
  Log("Broadcasting \"" + text + "\" from " + Client->UserName + " (" + Client->Room + ") (" + Client->Host + ")");
  // Encoded once, the same bytes go to every connection, the sender and
  // unregistered connections included.
  const std::string relay = EncodeText("[BC from " + Client->UserName + " @ " + Client->Room + "]: " + text);
  const auto length = static_cast<std::int32_t>(relay.size());

  ClientList& clients = *Server->Clients;
  const std::size_t count = clients.Count();
  const auto generation = clients.generation();
  for (std::size_t i = 0; i < count; ++i) {
    // A failed send may stop the server, which empties the list: the walk
    // ends as soon as the list is no longer the one it started with.
    if (clients.generation() != generation) return;
    Server->SendClientMessage(clients[i], relay.data(), length);
  }
}

void TfrmServer::ServerClientPong(TDadideVUDServer*, TDadideVUDServerClient* Client) {
  if (Client->UserName.empty()) return;
  if (lvClients.IndexOf(Client->UserName) >= 0) return;
  lvClients.Add(Client->UserName, Client->Room);
  view_.RosterChanged();
  Log(Client->UserName + " has joined.");
}

}  // namespace parlivo
