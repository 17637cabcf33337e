#pragma once
// The server's ordered list of accepted connections, in accept order.
//
// The list owns its connection objects and marks each one while it is an
// entry (TDadideVUDServerClient::InClients), so that a walk that calls out
// to handlers can tell in constant time whether a connection has left. It
// finds a connection by its socket in constant time too.

#include <cstddef>
#include <memory>
#include <unordered_map>
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

  void Add(std::unique_ptr<TDadideVUDServerClient> client);
  // Takes the entry at `index` out of the list and hands it to the caller.
  std::unique_ptr<TDadideVUDServerClient> Extract(std::size_t index);
  // The connection listed with `socket`, if it still holds that socket.
  TDadideVUDServerClient* FindBySocket(SocketHandle socket) const;
  // Where `client` stands in the list; Count() when it is not listed.
  std::size_t IndexOf(const TDadideVUDServerClient* client) const;

 private:
  std::vector<std::unique_ptr<TDadideVUDServerClient>> items_;
  // Each entry by the socket it had when it was listed (a socket is held
  // by one connection at a time).
  std::unordered_map<SocketHandle, TDadideVUDServerClient*> bySocket_;
};

}  // namespace parlivo
