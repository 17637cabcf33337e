#include "role.h"

namespace parlivo::bench {

void Role::OnEvents(PoolClient& client, short revents) {
  ChatConnection& connection = client.connection;
  if ((revents & POLLOUT) != 0 && MayWrite(client)) {
    if (!connection.flush()) return Lost(client, connection.error());
    if (!Flushed(client)) return;
  }
  if ((revents & (POLLIN | POLLHUP | POLLERR)) == 0 || client.stage == Stage::Gone) return;
  const std::size_t most = ReadLimit(client);
  const std::uint64_t readBefore = connection.bytesRead();
  const bool open = most > 0 ? connection.readAvailable(most) : connection.isOpen();
  Arrived(client, connection.bytesRead() - readBefore);
  while (!run_.done() && client.stage != Stage::Gone) {
    const std::optional<ReceivedPacket> packet = connection.nextPacket();
    if (!packet) break;
    OnPacket(client, *packet);
  }
  AfterPackets(client);
  if (!open && client.stage != Stage::Gone && !run_.done()) Lost(client, connection.error());
}

}  // namespace parlivo::bench
