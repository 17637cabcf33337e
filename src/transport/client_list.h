#pragma once
// The server's ordered list of accepted connections, in accept order.
//
// The list owns its connection objects. Event handlers run in the middle of
// walks over it and may change it (a handler that stops the server empties
// it), so every change bumps generation(): a walk remembers the generation
// before it calls out and ends when it has changed under it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "transport/platform/socket_api.h"

namespace parlivo {

class TDadideVUDServerClient;

class ClientList {
 public:
  ClientList();
  ~ClientList();
  ClientList(const ClientList&) = delete;
  ClientList& operator=(const ClientList&) = delete;

  std::size_t Count() const { return items_.size(); }
  bool Empty() const { return items_.empty(); }
  TDadideVUDServerClient* operator[](std::size_t index) const { return items_[index].get(); }
  std::uint64_t generation() const { return generation_; }

  void Add(std::unique_ptr<TDadideVUDServerClient> client);
  // Takes the entry at `index` out of the list and hands it to the caller.
  std::unique_ptr<TDadideVUDServerClient> Extract(std::size_t index);
  // The first connection, from the start of the list, whose Socket is `socket`.
  TDadideVUDServerClient* FindBySocket(SocketHandle socket) const;
  // Index of `client`, or Count() when it is not in the list.
  std::size_t IndexOf(const TDadideVUDServerClient* client) const;
  // True while `client` is one of the list's entries.
  bool Contains(const TDadideVUDServerClient* client) const { return IndexOf(client) != Count(); }

 private:
  std::vector<std::unique_ptr<TDadideVUDServerClient>> items_;
  std::uint64_t generation_ = 0;
};

}  // namespace parlivo
