#include "transport/outgoing_queue.h"

#include <algorithm>
#include <cassert>

namespace parlivo {
namespace {

void AppendInt32LE(std::string& bytes, std::int32_t value) {
  const auto u = static_cast<std::uint32_t>(value);
  const char le[4] = {static_cast<char>(u & 0xFF), static_cast<char>((u >> 8) & 0xFF),
                      static_cast<char>((u >> 16) & 0xFF), static_cast<char>((u >> 24) & 0xFF)};
  bytes.append(le, sizeof le);
}

}  // namespace

bool OutgoingQueue::append(const OutgoingPacket& packet) {
  const std::int32_t payload = packet.Size - kPacketHeaderSize;
  assert(payload <= 0 || packet.Data != nullptr);  // callers pass DataSize 0 when they have no payload
  const std::size_t payloadBytes = payload > 0 ? static_cast<std::size_t>(payload) : 0;
  if (!fits(kPacketHeaderSize + payloadBytes)) return false;
  AppendInt32LE(bytes_, packet.Size);
  AppendInt32LE(bytes_, packet.ID);
  if (payloadBytes > 0) bytes_.append(static_cast<const char*>(packet.Data), payloadBytes);
  return true;
}

bool OutgoingQueue::append(std::string_view bytes) {
  if (!fits(bytes.size())) return false;
  bytes_.append(bytes);
  return true;
}

void OutgoingQueue::consume(std::size_t count) {
  position_ += std::min(count, remaining());
  if (position_ == bytes_.size()) {
    // An ordinary queue keeps its storage for the next burst; one that grew
    // large for a big packet gives the memory back.
    if (bytes_.capacity() > kKeepCapacity) {
      release();
    } else {
      bytes_.clear();
      position_ = 0;
    }
  } else if (position_ >= kCompactFront && position_ >= bytes_.size() / 2) {
    bytes_.erase(0, position_);
    position_ = 0;
  }
}

void OutgoingQueue::release() {
  std::string().swap(bytes_);
  position_ = 0;
}

}  // namespace parlivo
