#include "transport/client_list.h"

#include "transport/server_client.h"

namespace parlivo {

ClientList::ClientList() = default;
ClientList::~ClientList() = default;

void ClientList::Add(std::unique_ptr<TDadideVUDServerClient> client) {
  client->state_ = ConnectionState::InService;
  items_.push_back(std::move(client));
}

std::unique_ptr<TDadideVUDServerClient> ClientList::Extract(std::size_t index) {
  std::unique_ptr<TDadideVUDServerClient> client = std::move(items_.at(index));
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
  client->state_ = ConnectionState::Released;
  return client;
}

TDadideVUDServerClient* ClientList::FindBySocket(SocketHandle socket) const {
  for (const auto& client : items_)
    if (client->Socket == socket) return client.get();
  return nullptr;
}

}  // namespace parlivo
