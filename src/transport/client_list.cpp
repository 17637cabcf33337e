#include "transport/client_list.h"

#include <utility>

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
  if (client->state_ == ConnectionState::Leaving) --leaving_;
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

bool ClientList::MarkOutput(TDadideVUDServerClient* client) {
  if (std::exchange(client->AwaitingFlush, true)) return false;
  output_.push_back(client);
  return true;
}

bool ClientList::MarkInput(TDadideVUDServerClient* client) {
  if (std::exchange(client->AwaitingRead, true)) return false;
  input_.push_back(client);
  return true;
}

std::vector<TDadideVUDServerClient*> ClientList::TakeOutput() { return std::exchange(output_, {}); }

std::vector<TDadideVUDServerClient*> ClientList::TakeInput() { return std::exchange(input_, {}); }

void ClientList::MarkLeaving(TDadideVUDServerClient* client) {
  client->state_ = ConnectionState::Leaving;
  ++leaving_;
}

std::optional<std::size_t> ClientList::NextLeaving() {
  if (leaving_ > 0) {
    for (std::size_t i = items_.size(); i-- > 0;)
      if (items_[i]->state_ == ConnectionState::Leaving) return i;
  }
  leaving_ = 0;
  return std::nullopt;
}

TDadideVUDServerClient* ClientList::Park(std::unique_ptr<TDadideVUDServerClient> client) {
  TDadideVUDServerClient* parked = client.get();
  parked->state_ = ConnectionState::Released;
  if (std::exchange(parked->AwaitingFlush, false)) std::erase(output_, parked);
  if (std::exchange(parked->AwaitingRead, false)) std::erase(input_, parked);
  released_.push_back(std::move(client));
  return parked;
}

std::size_t ClientList::FreeReleased() {
  auto freeing = std::exchange(released_, {});
  // A connection holds at least its buffers' storage.
  std::size_t held = 0;
  for (const auto& client : freeing) held += client->ReceiveBuffer.size() + 4096;
  freeing.clear();  // destructors report their own errors to the central handler
  return held;
}

}  // namespace parlivo
