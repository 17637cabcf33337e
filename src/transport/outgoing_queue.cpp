#include "transport/outgoing_queue.h"

#include <algorithm>

namespace parlivo {

SharedPacket MakeSharedPacket(const OutgoingPacket& packet) {
  const PacketBytes bytes = WireBytes(packet);
  std::string wire;
  wire.reserve(sizeof bytes.header + bytes.payload.size());
  wire.append(bytes.header, sizeof bytes.header);
  wire.append(bytes.payload);
  return std::make_shared<const SharedPacketBytes>(std::move(wire));
}

std::string_view OutgoingQueue::waiting() const {
  if (head_ >= segments_.size()) return {};
  const Segment& front = segments_[head_];
  return front.bytes().substr(front.position);
}

std::size_t OutgoingQueue::size() const { return head_ < segments_.size() ? segments_[head_].bytes().size() : 0; }

std::size_t OutgoingQueue::position() const { return head_ < segments_.size() ? segments_[head_].position : 0; }

std::size_t OutgoingQueue::capacity() const {
  std::size_t total = 0;
  for (const Segment& segment : segments_) total += segment.owned.capacity();
  return total;
}

std::string& OutgoingQueue::tail() {
  if (segments_.empty() || segments_.back().shared) segments_.emplace_back();
  return segments_.back().owned;
}

void OutgoingQueue::addedOwned(std::size_t bytes) {
  remaining_ += bytes;
  ownedRemaining_ += bytes;
  if (budget_ != nullptr) budget_->addOutput(bytes);
}

bool OutgoingQueue::append(const OutgoingPacket& packet) {
  const PacketBytes bytes = WireBytes(packet);
  if (!fits(sizeof bytes.header + bytes.payload.size())) return false;
  std::string& into = tail();
  into.append(bytes.header, sizeof bytes.header);
  into.append(bytes.payload);
  addedOwned(sizeof bytes.header + bytes.payload.size());
  return true;
}

bool OutgoingQueue::append(std::string_view bytes) {
  if (!fits(bytes.size())) return false;
  tail().append(bytes);
  addedOwned(bytes.size());
  return true;
}

bool OutgoingQueue::append(const SharedPacket& packet) {
  if (!packet || !fits(packet->wire().size())) return false;
  Segment& segment = segments_.emplace_back();
  segment.shared = packet;
  remaining_ += packet->wire().size();
  packet->chargeTo(budget_);
  return true;
}

void OutgoingQueue::consume(std::size_t count) {
  if (head_ >= segments_.size()) return;
  Segment& front = segments_[head_];
  count = std::min(count, front.bytes().size() - front.position);
  // A shared packet leaves the budget when its last holder lets it go.
  if (!front.shared) {
    ownedRemaining_ -= count;
    if (budget_ != nullptr) budget_->removeOutput(count);
  }
  remaining_ -= count;
  front.position += count;
  if (front.position < front.bytes().size()) {
    // A large sent front of the owned buffer is dropped: the rest moves down once.
    if (!front.shared && front.position >= kCompactFront && front.position >= front.owned.size() / 2) {
      front.owned.erase(0, front.position);
      front.position = 0;
    }
    return;
  }
  if (head_ + 1 < segments_.size()) {
    // Sent whole: the next segment is the front now.
    front = Segment{};
    ++head_;
    if (head_ >= 8 && head_ * 2 >= segments_.size()) {
      segments_.erase(segments_.begin(), segments_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
    return;
  }
  // Drained. An ordinary queue keeps its storage for the next burst; one
  // that grew large for a big packet gives the memory back.
  if (front.shared || front.owned.capacity() > kKeepCapacity) {
    release();
    return;
  }
  std::string keep = std::move(front.owned);
  keep.clear();
  segments_.clear();
  head_ = 0;
  segments_.emplace_back().owned = std::move(keep);
}

void OutgoingQueue::release() {
  if (budget_ != nullptr) budget_->removeOutput(ownedRemaining_);
  remaining_ = 0;
  ownedRemaining_ = 0;
  std::vector<Segment>().swap(segments_);
  head_ = 0;
}

}  // namespace parlivo
