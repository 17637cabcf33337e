#include "transport/client_list.h"

#include "transport/server_client.h"

namespace parlivo {

ClientList::ClientList() = default;
ClientList::~ClientList() = default;

void ClientList::Add(std::unique_ptr<TDadideVUDServerClient> client) {
  client->state_ = ConnectionState::InService;
  bySocket_[client->Socket] = client.get();
  items_.push_back(std::move(client));
}

std::unique_ptr<TDadideVUDServerClient> ClientList::Extract(std::size_t index) {
  std::unique_ptr<TDadideVUDServerClient> client = std::move(items_.at(index));
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
  client->state_ = ConnectionState::Released;
  if (const auto it = bySocket_.find(client->Socket); it != bySocket_.end() && it->second == client.get()) {
    bySocket_.erase(it);
  } else {
    // Its socket changed while it was listed: found by the entry instead.
    std::erase_if(bySocket_, [&](const auto& entry) { return entry.second == client.get(); });
  }
  return client;
}

TDadideVUDServerClient* ClientList::FindBySocket(SocketHandle socket) const {
  const auto it = bySocket_.find(socket);
  return it != bySocket_.end() && it->second->Socket == socket ? it->second : nullptr;
}

std::size_t ClientList::IndexOf(const TDadideVUDServerClient* client) const {
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (items_[i].get() == client) return i;
  return items_.size();
}

}  // namespace parlivo
