#include "transport/client_list.h"

#include "transport/server_client.h"

namespace parlivo {

ClientList::ClientList() = default;
ClientList::~ClientList() = default;

void ClientList::Add(std::unique_ptr<TDadideVUDServerClient> client) {
  client->inClients_ = true;
  items_.push_back(std::move(client));
  ++generation_;
}

std::unique_ptr<TDadideVUDServerClient> ClientList::Extract(std::size_t index) {
  std::unique_ptr<TDadideVUDServerClient> client = std::move(items_.at(index));
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
  client->inClients_ = false;
  ++generation_;
  return client;
}

TDadideVUDServerClient* ClientList::FindBySocket(SocketHandle socket) const {
  for (const auto& client : items_)
    if (client->Socket == socket) return client.get();
  return nullptr;
}

std::size_t ClientList::IndexOf(const TDadideVUDServerClient* client) const {
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (items_[i].get() == client) return i;
  return items_.size();
}

}  // namespace parlivo
