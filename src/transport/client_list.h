#pragma once
// The server's set of connections: the ordered list of those accepted, in
// accept order, and the work on them that waits for the server's safe point.
//
// The list owns its connection objects and marks each one while it is an
// entry (TDadideVUDServerClient::InClients), so that a walk that calls out
// to handlers can tell in constant time whether a connection has left. It
// finds a connection by its socket in constant time too.
//
// What waits for the safe point: the connections with output queued since
// the last flush and those whose streams hold bytes no socket notice
// announces, each in the order it was marked; the count of those marked
// Leaving; and the connections taken out of the list (parked), closed but
// kept allocated until no handler of the server can still hold one. A
// connection marked for output or input carries the flag (AwaitingFlush,
// AwaitingRead), so a second mark costs nothing, and parking it takes it
// out of both lists at once.

#include <cstddef>
#include <memory>
#include <optional>
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

  // --- Work for the safe point.
  // Marks `client` for the next flush, or for a read of what its stream
  // holds; false when it was marked already.
  bool MarkOutput(TDadideVUDServerClient* client);
  bool MarkInput(TDadideVUDServerClient* client);
  // The connections marked so far, in order, emptying the list; each keeps
  // its flag until the caller handles it, so one parked meanwhile is skipped.
  std::vector<TDadideVUDServerClient*> TakeOutput();
  std::vector<TDadideVUDServerClient*> TakeInput();
  // Marks a connection in service Leaving: it departs at the safe point.
  void MarkLeaving(TDadideVUDServerClient* client);
  // Where the last connection marked Leaving stands; none when none is left.
  std::optional<std::size_t> NextLeaving();
  // Takes a connection that left the list out of the work above, marks it
  // released and keeps it until FreeReleased; returns it.
  TDadideVUDServerClient* Park(std::unique_ptr<TDadideVUDServerClient> client);
  // Frees the parked connections; returns about how much memory they held.
  std::size_t FreeReleased();
  bool HasReleased() const { return !released_.empty(); }
  // Nothing is left for the safe point to do.
  bool Settled() const { return output_.empty() && input_.empty() && leaving_ == 0 && released_.empty(); }

 private:
  std::vector<std::unique_ptr<TDadideVUDServerClient>> items_;
  std::vector<TDadideVUDServerClient*> output_;
  std::vector<TDadideVUDServerClient*> input_;
  std::size_t leaving_ = 0;  // listed connections marked Leaving
  std::vector<std::unique_ptr<TDadideVUDServerClient>> released_;
  // Each entry by the socket it had when it was listed (a socket is held
  // by one connection at a time).
  std::unordered_map<SocketHandle, TDadideVUDServerClient*> bySocket_;
};

}  // namespace parlivo
