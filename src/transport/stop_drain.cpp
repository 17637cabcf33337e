#include "transport/stop_drain.h"

#include <algorithm>

#include "transport/server_client.h"

namespace parlivo {

bool DrainAtStop(SocketApi& api, const std::function<std::int64_t()>& clock,
                 const std::vector<TDadideVUDServerClient*>& closing, const std::weak_ptr<const void>& alive) {
  const std::int64_t deadline = clock() + kStopDrainMs;
  std::vector<TDadideVUDServerClient*> waiting;
  std::vector<SocketHandle> sockets;
  std::vector<bool> writable;
  for (;;) {
    waiting.clear();
    sockets.clear();
    for (TDadideVUDServerClient* client : closing) {
      // A stream still opening (a handshake) can take nothing yet.
      if (client->Socket != kInvalidSocket && client->SendQueue.remaining() > 0 && client->Stream().Opened()) {
        waiting.push_back(client);
        sockets.push_back(client->Socket);
      }
    }
    const std::int64_t left = deadline - clock();
    if (waiting.empty() || left <= 0) return true;
    const int wait = static_cast<int>(std::min(left, kStopStallMs));
    if (api.waitWritable(sockets, wait, writable) <= 0) return true;
    for (std::size_t i = 0; i < waiting.size(); ++i) {
      if (!writable[i]) continue;
      if (!waiting[i]->SendWaiting()) waiting[i]->SendQueue.release();  // failed: nothing more for it
      if (alive.expired()) return false;
    }
  }
}

}  // namespace parlivo
