#include "transport/flow_controller.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "transport/packet_framing.h"
#include "transport/platform/socket_address.h"

namespace parlivo {
namespace {

// The announced size of the unfinished packet the receive buffer starts
// with, 0 when it holds none (or not even its header yet, or whole packets
// kept back).
std::size_t UnfinishedPacketSize(const ByteStream& buffer) {
  if (buffer.remaining() < static_cast<std::size_t>(kPacketHeaderSize)) return 0;
  const std::int32_t size = ReadInt32LE(buffer.unread().data());
  if (size <= 0 || static_cast<std::size_t>(size) <= buffer.remaining()) return 0;
  return static_cast<std::size_t>(size);
}

// Whether the receive buffer starts with a complete packet (one a pass kept back).
bool HoldsWholePacket(const ByteStream& buffer) {
  if (buffer.remaining() < static_cast<std::size_t>(kPacketHeaderSize)) return false;
  const std::int32_t size = ReadInt32LE(buffer.unread().data());
  return size > 0 && static_cast<std::size_t>(size) <= buffer.remaining();
}

std::string Mebibytes(std::size_t bytes) { return std::to_string((bytes + (1u << 19)) >> 20) + " MiB"; }

}  // namespace

FlowController::FlowController(Clock clock) : clock_(std::move(clock)), passNowMs_(clock_()) {}

std::uint32_t FlowController::DefaultMaxClients(std::uint32_t maxSockets) {
  return maxSockets > 2 * kReservedDescriptors ? maxSockets - kReservedDescriptors : maxSockets / 2;
}

std::uint32_t FlowController::EffectiveMaxClients(std::uint32_t maxSockets) const {
  return MaxClients != 0 ? MaxClients : DefaultMaxClients(maxSockets);
}

std::int64_t FlowController::StartPass() { return passNowMs_ = clock_(); }

std::string FlowController::RefusalReason(const std::string& host, std::size_t clients,
                                          std::uint32_t maxSockets) const {
  const std::uint32_t most = EffectiveMaxClients(maxSockets);
  if (clients >= most) return "the server is full (" + std::to_string(most) + " clients)";
  if (IsLoopbackText(host)) return {};
  const auto found = addresses_.find(AddressGroup(host));
  if (found == addresses_.end()) return {};
  const AddressFlow& address = *found->second;
  if (MaxClientsPerAddress != 0 && address.connections >= MaxClientsPerAddress)
    return std::to_string(address.connections) + " connections from that address already (the most allowed)";
  if (address.unregistered >= UnregisteredPerAddress)
    return std::to_string(address.unregistered) +
           " connections from that address have not registered yet (the most allowed)";
  return {};
}

void FlowController::Attach(ConnectionFlow& flow, const std::string& host) {
  if (IsLoopbackText(host)) return;
  flow.addressKey = AddressGroup(host);
  std::shared_ptr<AddressFlow>& address = addresses_[flow.addressKey];
  if (!address) {
    const std::int64_t now = clock_();
    address = std::make_shared<AddressFlow>();
    address->bytes = TokenBucket(InputBytes, now);
    address->packets = TokenBucket(InputPackets, now);
  }
  ++address->connections;
  ++address->unregistered;
  flow.address = address;
}

bool FlowController::Start(ConnectionFlow& flow) {
  const std::int64_t now = clock_();
  flow.bytes = TokenBucket(InputBytes, now);
  flow.packets = TokenBucket(InputPackets, now);
  flow.lastReceiveMs = now;
  // A server that holds senders back holds a newcomer back too.
  return Budget.holdingSenders();
}

void FlowController::MarkRegistered(ConnectionFlow& flow) {
  if (flow.registered) return;
  flow.registered = true;
  if (flow.address) --flow.address->unregistered;
}

void FlowController::Detach(ConnectionFlow& flow) {
  Budget.removeInput(std::exchange(flow.accountedInput, 0));
  SetReserved(flow, 0);
  if (flow.readPaused) {
    flow.readPaused = false;
    --pausedReaders_;
  }
  if (!flow.address) return;
  --flow.address->connections;
  if (!flow.registered) --flow.address->unregistered;
  const bool last = flow.address->connections == 0;
  flow.address.reset();
  if (last) addresses_.erase(flow.addressKey);
}

void FlowController::SetReserved(ConnectionFlow& flow, std::size_t packet) {
  if (flow.address) flow.address->reserved = flow.address->reserved - flow.reservedPacket + packet;
  flow.reservedPacket = packet;
}

bool FlowController::MayRead(ConnectionFlow& flow) { return MayRead(flow, clock_()); }

bool FlowController::MayRead(ConnectionFlow& flow, std::int64_t nowMs) {
  if (Budget.holdingSenders()) return false;
  if (!LimitInput) return true;
  flow.bytes.refill(InputBytes, nowMs);
  flow.packets.refill(InputPackets, nowMs);
  if (!flow.bytes.available() || !flow.packets.available()) return false;
  if (!flow.address) return true;
  flow.address->bytes.refill(InputBytes, nowMs);
  flow.address->packets.refill(InputPackets, nowMs);
  return flow.address->bytes.available() && flow.address->packets.available();
}

std::size_t FlowController::ReadAllowance(ConnectionFlow& flow, const ByteStream& received, std::size_t waiting) {
  const std::int64_t now = clock_();
  const std::size_t chunk = std::min(waiting, kReadChunk);
  // A large packet's body is read once its whole size is reserved; until
  // then its bytes wait in the client's socket, and TCP slows the client.
  // Reserved, its body needs no more room. With no partial input held at
  // all, one packet is read whatever its size, so that a budget set below
  // the largest packet slows it but never stops it.
  const bool mayGrow = Reserve(flow, received) &&
                       (flow.reservedPacket != 0 || Budget.inputFits(chunk) || Budget.input() == 0);
  if (!MayRead(flow, now) || !mayGrow) return 0;
  if (LimitInput) {
    flow.bytes.take(static_cast<double>(chunk));
    if (flow.address) flow.address->bytes.take(static_cast<double>(chunk));
  }
  // What a socket says is waiting arrives whole; enough of it is progress
  // of the packet under way.
  flow.receivedSinceProgress += chunk;
  if (flow.receivedSinceProgress >= kBodyProgressBytes) {
    flow.lastReceiveMs = now;
    flow.receivedSinceProgress = 0;
  }
  return chunk;
}

bool FlowController::Reserve(ConnectionFlow& flow, const ByteStream& received) {
  const std::size_t announced = UnfinishedPacketSize(received);
  if (announced == 0 || flow.reservedPacket == announced) return true;
  const std::size_t more = announced > flow.accountedInput ? announced - flow.accountedInput : 0;
  if (!Budget.reservationFits(more) && Budget.input() > flow.accountedInput) return false;
  // One machine's large packets take at most a quarter of the room all may
  // reserve: a host that announces many and sends them slowly cannot keep
  // everybody else's large texts waiting. One of its packets always gets in.
  if (flow.address && flow.address->reserved > 0 && flow.address->reserved + announced > Budget.highWater() / 4)
    return false;
  Budget.addInput(more);
  flow.accountedInput += more;
  SetReserved(flow, announced);
  return true;
}

bool FlowController::MayDeliver(ConnectionFlow& flow) {
  if (Budget.holdingSenders()) return false;
  if (!LimitInput) return true;
  // The buckets are as full as they get in this pass: a delivery follows a
  // read that MayRead allowed, or a resume that it allowed, and it refilled them.
  if (!flow.packets.available()) return false;
  if (flow.address) {
    if (!flow.address->packets.available()) return false;
    flow.address->packets.take(1);
  }
  flow.packets.take(1);
  return true;
}

bool FlowController::Settle(ConnectionFlow& flow, const ByteStream& received) {
  // What the buffer holds counts, or the whole packet it reserved for while
  // that packet is still unfinished.
  const std::size_t announced = UnfinishedPacketSize(received);
  if (announced != flow.reservedPacket) SetReserved(flow, 0);
  const std::size_t held = std::max(received.size(), flow.reservedPacket);
  if (held > flow.accountedInput) Budget.addInput(held - flow.accountedInput);
  if (held < flow.accountedInput) Budget.removeInput(flow.accountedInput - held);
  flow.accountedInput = held;
  if (held == 0) {
    // Nothing unfinished: the next packet's progress counts from now.
    flow.lastReceiveMs = passNowMs_;
    flow.receivedSinceProgress = 0;
  }
  Reserve(flow, received);  // a packet left unfinished asks for its room now
  // Whole packets kept back wait for the clock, which delivers them when
  // the client may go on: no new bytes may ever come to wake them.
  return HoldsWholePacket(received) || !MayRead(flow, clock_());
}

bool FlowController::Pause(ConnectionFlow& flow) {
  if (flow.readPaused) return false;
  flow.readPaused = true;
  ++pausedReaders_;
  return true;
}

bool FlowController::Resume(ConnectionFlow& flow) {
  if (!flow.readPaused) return false;
  flow.readPaused = false;
  --pausedReaders_;
  return true;
}

FlowController::Holding FlowController::UpdateHolding() {
  if (!Budget.update()) return Holding::Unchanged;
  const std::int64_t now = clock_();
  if (Budget.holdingSenders()) {
    holdStartMs_ = now;
    return Holding::Started;
  }
  heldBackMs_ += now - holdStartMs_;
  return Holding::Ended;
}

double FlowController::HeldBackSeconds() const {
  const std::int64_t running = Budget.holdingSenders() ? clock_() - holdStartMs_ : 0;
  return static_cast<double>(heldBackMs_ + running) / 1000.0;
}

std::string FlowController::HoldingNotice() {
  const bool holding = Budget.holdingSenders();
  if (holding == announcedHolding_ || !holdNotices_.due(clock_())) return {};
  announcedHolding_ = holding;
  if (holding)
    return "Holding senders back: " + Mebibytes(Budget.output()) + " queued for clients that read slowly (budget " +
           Mebibytes(Budget.limit()) + ").";
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", HeldBackSeconds());
  return "Reading from senders again (held back " + std::string(seconds) + " s in all).";
}

FlowController::Verdict FlowController::Check(ConnectionFlow& flow, const ByteStream& received, std::size_t waiting) {
  const std::int64_t now = passNowMs_;
  // The soft clock starts when the queue passes the soft limit, and starts
  // again whenever the reader has taken a soft limit's worth meanwhile: a
  // reader that keeps reading is never dropped by it, however much waits.
  if (waiting <= SoftQueueLimit) {
    flow.overSoftSinceMs = -1;
  } else if (flow.overSoftSinceMs < 0 || flow.bytesTaken - flow.takenAtSoftStart >= SoftQueueLimit) {
    flow.overSoftSinceMs = now;
    flow.takenAtSoftStart = flow.bytesTaken;
  }
  if (flow.overSoftSinceMs >= 0 && now - flow.overSoftSinceMs >= SoftQueueMs) return Verdict::TooSlow;
  if (received.size() == 0) return Verdict::Idle;
  // One that waits for a reservation is held back by the server, not stalling.
  const std::size_t announced = UnfinishedPacketSize(received);
  if (announced != 0 && flow.reservedPacket != announced) {
    flow.lastReceiveMs = now;
    return Verdict::Partial;
  }
  return now - flow.lastReceiveMs < BodyStallMs ? Verdict::Partial : Verdict::Stalled;
}

void FlowController::StillSending(ConnectionFlow& flow) { flow.lastReceiveMs = passNowMs_; }

std::vector<std::size_t> FlowController::CheckUnderPressure(const std::vector<Reader>& readers) {
  const std::int64_t now = passNowMs_;
  std::vector<std::size_t> behind;
  if (!Budget.holdingSenders()) {
    pressureWindowStartMs_ = -1;
    return behind;
  }
  if (pressureWindowStartMs_ >= 0 && now - pressureWindowStartMs_ < PressureWindowMs) return behind;
  if (pressureWindowStartMs_ >= 0) {
    // The readers compared: in the whole window, with a backlog at its start.
    const auto compared = [this](const ConnectionFlow& flow) {
      return flow.pressureWindowStartMs == pressureWindowStartMs_ && flow.waitingAtWindowStart >= kPressureBacklog;
    };
    std::uint64_t taken = 0;
    std::uint64_t count = 0;
    for (const Reader& reader : readers) {
      if (!compared(*reader.flow)) continue;
      taken += reader.flow->bytesTaken - reader.flow->takenAtWindowStart;
      ++count;
    }
    if (count > 0) {
      const std::uint64_t fairShare = std::max<std::uint64_t>(FairShareFloorBytes, taken / count / 4);
      for (std::size_t i = 0; i < readers.size(); ++i) {
        const ConnectionFlow& flow = *readers[i].flow;
        if (!compared(flow)) continue;
        const std::uint64_t due = std::min<std::uint64_t>(flow.waitingAtWindowStart, fairShare);
        if (flow.bytesTaken - flow.takenAtWindowStart < due) behind.push_back(i);
      }
    }
  }
  pressureWindowStartMs_ = now;
  for (const Reader& reader : readers) {
    reader.flow->pressureWindowStartMs = now;
    reader.flow->takenAtWindowStart = reader.flow->bytesTaken;
    reader.flow->waitingAtWindowStart = reader.waiting;
  }
  return behind;
}

bool FlowController::NeedsClock(bool partialInput) const {
  return Budget.used() > 0 || pausedReaders_ > 0 || partialInput || announcedHolding_ != Budget.holdingSenders();
}

}  // namespace parlivo
