#include "transport/outgoing_queue.h"

#include <algorithm>

namespace parlivo {

bool OutgoingQueue::append(const OutgoingPacket& packet) {
  const PacketBytes bytes = WireBytes(packet);
  if (!fits(sizeof bytes.header + bytes.payload.size())) return false;
  bytes_.append(bytes.header, sizeof bytes.header);
  bytes_.append(bytes.payload);
  if (budget_ != nullptr) budget_->addOutput(sizeof bytes.header + bytes.payload.size());
  return true;
}

bool OutgoingQueue::append(std::string_view bytes) {
  if (!fits(bytes.size())) return false;
  bytes_.append(bytes);
  if (budget_ != nullptr) budget_->addOutput(bytes.size());
  return true;
}

void OutgoingQueue::consume(std::size_t count) {
  count = std::min(count, remaining());
  if (budget_ != nullptr) budget_->removeOutput(count);
  position_ += count;
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
  if (budget_ != nullptr) budget_->removeOutput(remaining());
  std::string().swap(bytes_);
  position_ = 0;
}

}  // namespace parlivo
