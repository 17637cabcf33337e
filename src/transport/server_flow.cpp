// Flow control: how the server keeps its memory within one budget and
// slows senders instead of dropping readers.
//
// - Every connection's queued output and every partial packet count against
//   Budget. Past its high-water mark the server stops reading from every
//   client (TCP then slows them) until queued output falls to the low-water
//   mark; a partial packet grows only while the budget has room for it.
// - Each client has token buckets for bytes and packets, and the clients of
//   one other machine share a pair as well; a client over either is not
//   read until they refill.
// - Readers are dropped only for lack of progress (the soft limit and its
//   time, the hard cap, or less than a fair share taken while the budget is
//   full), and clients that stop in the middle of a packet only once
//   (almost) nothing of it arrives any more.
// - A large packet reserves its room before its body is read; one machine's
//   reservations together stay within a quarter of what all may reserve.
//
// The clock (FlowTick) runs only while something is queued, held back or
// partly received, so an idle server does no work.

#include <algorithm>
#include <cstdio>
#include <string>

#include "transport/platform/socket_address.h"
#include "transport/server.h"
#include "transport/steady_time.h"
#include "transport/unhandled_error.h"

namespace parlivo {
namespace {

// The most bytes one read takes from a client: a large packet arrives over
// several passes, so the budget and the buckets are asked in between.
constexpr std::size_t kReadChunk = 256 * 1024;
// Events a connection asks for while it is read, and while it is held back.
constexpr long kReadingEvents = FD_READ | FD_WRITE | FD_CLOSE;
constexpr long kHeldBackEvents = FD_WRITE;

// The announced size of the unfinished packet the receive buffer starts
// with after a pass, 0 when it holds none (or not even its header yet, or
// whole packets kept back).
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

std::uint32_t TDadideVUDServer::DefaultMaxClients(std::uint32_t maxSockets) {
  return maxSockets > 2 * kReservedDescriptors ? maxSockets - kReservedDescriptors : maxSockets / 2;
}

std::uint32_t TDadideVUDServer::EffectiveMaxClients() {
  return MaxClients != 0 ? MaxClients : DefaultMaxClients(Api().maxSockets());
}

double TDadideVUDServer::HeldBackSeconds() const {
  const std::int64_t running = Budget.holdingSenders() ? SteadyNowMs() - holdStartMs_ : 0;
  return static_cast<double>(heldBackMs_ + running) / 1000.0;
}

std::string TDadideVUDServer::RefusalReason(const std::string& host) {
  const std::uint32_t most = EffectiveMaxClients();
  if (Clients->Count() >= most) return "the server is full (" + std::to_string(most) + " clients)";
  if (IsLoopbackText(host)) return {};
  const auto found = addressFlows_.find(AddressGroup(host));
  if (found == addressFlows_.end()) return {};
  const AddressFlow& address = *found->second;
  if (MaxClientsPerAddress != 0 && address.connections >= MaxClientsPerAddress)
    return std::to_string(address.connections) + " connections from that address already (the most allowed)";
  if (address.unregistered >= UnregisteredPerAddress)
    return std::to_string(address.unregistered) +
           " connections from that address have not registered yet (the most allowed)";
  return {};
}

void TDadideVUDServer::StartFlow(TDadideVUDServerClient* client) {
  const std::int64_t now = SteadyNowMs();
  client->SendQueue.setBudget(&Budget);
  client->Flow.bytes = TokenBucket(InputBytes, now);
  client->Flow.packets = TokenBucket(InputPackets, now);
  client->Flow.lastReceiveMs = now;
  // A server that holds senders back holds a newcomer back too.
  if (Budget.holdingSenders()) PauseReading(client);
}

void TDadideVUDServer::AttachAddress(TDadideVUDServerClient* client) {
  if (IsLoopbackText(client->Host)) return;
  ConnectionFlow& flow = client->Flow;
  flow.addressKey = AddressGroup(client->Host);
  std::shared_ptr<AddressFlow>& address = addressFlows_[flow.addressKey];
  if (!address) {
    const std::int64_t now = SteadyNowMs();
    address = std::make_shared<AddressFlow>();
    address->bytes = TokenBucket(InputBytes, now);
    address->packets = TokenBucket(InputPackets, now);
  }
  ++address->connections;
  ++address->unregistered;
  flow.address = address;
}

void TDadideVUDServer::DetachAddress(TDadideVUDServerClient* client) {
  ConnectionFlow& flow = client->Flow;
  SetReserved(client, 0);
  if (!flow.address) return;
  --flow.address->connections;
  if (!flow.registered) --flow.address->unregistered;
  const bool last = flow.address->connections == 0;
  flow.address.reset();
  if (last) addressFlows_.erase(flow.addressKey);
}

void TDadideVUDServer::MarkRegistered(TDadideVUDServerClient* client) {
  ConnectionFlow& flow = client->Flow;
  if (flow.registered) return;
  flow.registered = true;
  if (flow.address) --flow.address->unregistered;
}

void TDadideVUDServer::SetReserved(TDadideVUDServerClient* client, std::size_t packet) {
  ConnectionFlow& flow = client->Flow;
  if (flow.address) flow.address->reserved = flow.address->reserved - flow.reservedPacket + packet;
  flow.reservedPacket = packet;
}

bool TDadideVUDServer::MayRead(TDadideVUDServerClient* client, std::int64_t nowMs) {
  if (Budget.holdingSenders()) return false;
  if (!LimitInput) return true;
  ConnectionFlow& flow = client->Flow;
  flow.bytes.refill(InputBytes, nowMs);
  flow.packets.refill(InputPackets, nowMs);
  if (!flow.bytes.available() || !flow.packets.available()) return false;
  if (!flow.address) return true;
  flow.address->bytes.refill(InputBytes, nowMs);
  flow.address->packets.refill(InputPackets, nowMs);
  return flow.address->bytes.available() && flow.address->packets.available();
}

std::size_t TDadideVUDServer::ReadAllowance(TDadideVUDServerClient* client, std::size_t waiting) {
  if (client == nullptr) return waiting;
  const std::int64_t now = SteadyNowMs();
  const std::size_t chunk = std::min(waiting, kReadChunk);
  // A large packet's body is read once its whole size is reserved; until
  // then its bytes wait in the client's socket, and TCP slows the client.
  // Reserved, its body needs no more room. With no partial input held at
  // all, one packet is read whatever its size, so that a budget set below
  // the largest packet slows it but never stops it.
  const bool mayGrow = Reserve(client) && (client->Flow.reservedPacket != 0 || Budget.inputFits(chunk) ||
                                           Budget.input() == 0);
  if (!MayRead(client, now) || !mayGrow) {
    PauseReading(client);
    return 0;
  }
  ConnectionFlow& flow = client->Flow;
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

bool TDadideVUDServer::Reserve(TDadideVUDServerClient* client) {
  ConnectionFlow& flow = client->Flow;
  const std::size_t announced = UnfinishedPacketSize(client->ReceiveBuffer);
  if (announced == 0 || flow.reservedPacket == announced) return true;
  const std::size_t more = announced > flow.accountedInput ? announced - flow.accountedInput : 0;
  if (!Budget.reservationFits(more) && Budget.input() > flow.accountedInput) return false;
  // One machine's large packets take at most a quarter of the room all may
  // reserve: a host that announces many and sends them slowly cannot keep
  // everybody else's large texts waiting. One of its packets always gets in.
  if (flow.address && flow.address->reserved > 0 &&
      flow.address->reserved + announced > Budget.highWater() / 4)
    return false;
  Budget.addInput(more);
  flow.accountedInput += more;
  SetReserved(client, announced);
  return true;
}

bool TDadideVUDServer::MayDeliver(TDadideVUDServerClient* client) {
  if (client == nullptr) return true;
  // The relays of the packets delivered so far may have filled the budget.
  UpdateHolding();
  if (Budget.holdingSenders()) return false;
  if (!LimitInput) return true;
  ConnectionFlow& flow = client->Flow;
  flow.packets.refill(InputPackets, passNowMs_);
  if (!flow.packets.available()) return false;
  if (flow.address) {
    flow.address->packets.refill(InputPackets, passNowMs_);
    if (!flow.address->packets.available()) return false;
    flow.address->packets.take(1);
  }
  flow.packets.take(1);
  return true;
}

void TDadideVUDServer::ReceiveSettled(TDadideVUDServerClient* client) {
  if (client == nullptr) return;
  ConnectionFlow& flow = client->Flow;
  // What the buffer holds counts, or the whole packet it reserved for while
  // that packet is still unfinished.
  const std::size_t announced = UnfinishedPacketSize(client->ReceiveBuffer);
  if (announced != flow.reservedPacket) SetReserved(client, 0);
  const std::size_t held = std::max(client->ReceiveBuffer.size(), flow.reservedPacket);
  if (held > flow.accountedInput) Budget.addInput(held - flow.accountedInput);
  if (held < flow.accountedInput) Budget.removeInput(flow.accountedInput - held);
  flow.accountedInput = held;
  if (held == 0) {
    // Nothing unfinished: the next packet's progress counts from now.
    flow.lastReceiveMs = passNowMs_;
    flow.receivedSinceProgress = 0;
  }
  Reserve(client);  // a packet left unfinished asks for its room now
  // Whole packets kept back wait for the flow clock, which delivers them
  // when the client may go on: no new bytes may ever come to wake them.
  if (HoldsWholePacket(client->ReceiveBuffer) || !MayRead(client, SteadyNowMs())) PauseReading(client);
  if (held > 0) WatchFlow();  // a partial packet is watched for stalls
}

void TDadideVUDServer::PauseReading(TDadideVUDServerClient* client) {
  if (client->Flow.readPaused || !client->InService()) return;
  client->Flow.readPaused = true;
  ++pausedReaders_;
  Api().asyncSelect(client->Socket, WindowHandle(), WM_SOCKETNOTIFY, kHeldBackEvents);
  WatchFlow();
}

void TDadideVUDServer::ResumeReading(TDadideVUDServerClient* client) {
  if (!client->Flow.readPaused) return;
  client->Flow.readPaused = false;
  --pausedReaders_;
  // Packets kept back in its buffer go first; they may hold it back again.
  const auto alive = client->LifeToken();
  DeliverReceived(client);
  if (alive.expired() || !client->InService() || client->Flow.readPaused) return;
  Api().asyncSelect(client->Socket, WindowHandle(), WM_SOCKETNOTIFY, kReadingEvents);
}

void TDadideVUDServer::UpdateHolding() {
  if (!Budget.update()) return;
  const std::int64_t now = SteadyNowMs();
  if (Budget.holdingSenders()) {
    holdStartMs_ = now;
    for (std::size_t i = 0; i < Clients->Count(); ++i) PauseReading((*Clients)[i]);
  } else {
    heldBackMs_ += now - holdStartMs_;
    // Resuming delivers kept-back packets, which runs handlers: that is the
    // clock's work, never done inside a send.
    if (!flowTimer_.isActive()) flowTimer_.start(0);
  }
  AnnounceHolding(now);
  WatchFlow();
}

void TDadideVUDServer::AnnounceHolding(std::int64_t nowMs) {
  const bool holding = Budget.holdingSenders();
  if (holding == announcedHolding_ || !holdNotices_.due(nowMs)) return;
  announcedHolding_ = holding;
  std::string text;
  if (holding) {
    text = "Holding senders back: " + Mebibytes(Budget.output()) + " queued for clients that read slowly (budget " +
           Mebibytes(Budget.limit()) + ")";
  } else {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", HeldBackSeconds());
    text = "Reading from senders again (held back " + std::string(seconds) + " s in all)";
  }
  if (OnServerNotice) OnServerNotice(this, text + ".");
}

void TDadideVUDServer::WatchFlow() {
  if (!flowTimer_.isActive() && listen_) flowTimer_.start(kFlowTickMs);
}

void TDadideVUDServer::StopFlow() {
  // The connections' queues and partial packets leave the budget as they
  // are released and freed.
  flowTimer_.stop();
  announcedHolding_ = false;
}

void TDadideVUDServer::WatchProgressUnderPressure(std::int64_t nowMs) {
  if (!Budget.holdingSenders()) {
    pressureWindowStartMs_ = -1;
    return;
  }
  if (pressureWindowStartMs_ >= 0 && nowMs - pressureWindowStartMs_ < PressureWindowMs) return;
  if (pressureWindowStartMs_ >= 0) DropReadersBehind();
  pressureWindowStartMs_ = nowMs;
  for (std::size_t i = 0; i < Clients->Count(); ++i) {
    ConnectionFlow& flow = (*Clients)[i]->Flow;
    flow.pressureWindowStartMs = nowMs;
    flow.takenAtWindowStart = flow.bytesTaken;
    flow.waitingAtWindowStart = (*Clients)[i]->SendQueue.remaining();
  }
}

void TDadideVUDServer::DropReadersBehind() {
  // The readers compared: in service for the whole window, with a backlog at its start.
  const auto compared = [this](const TDadideVUDServerClient* client) {
    return client->InService() && client->Flow.pressureWindowStartMs == pressureWindowStartMs_ &&
           client->Flow.waitingAtWindowStart >= kStallUnderPressureMinimum;
  };
  std::uint64_t taken = 0;
  std::uint64_t readers = 0;
  for (std::size_t i = 0; i < Clients->Count(); ++i) {
    const TDadideVUDServerClient* client = (*Clients)[i];
    if (!compared(client)) continue;
    taken += client->Flow.bytesTaken - client->Flow.takenAtWindowStart;
    ++readers;
  }
  if (readers == 0) return;
  const std::uint64_t fairShare = std::max<std::uint64_t>(FairShareFloorBytes, taken / readers / 4);
  ForEachClient(WalkOrder::FirstToLast, [&](TDadideVUDServerClient* client) {
    if (!compared(client)) return;
    const ConnectionFlow& flow = client->Flow;
    const std::uint64_t due = std::min<std::uint64_t>(flow.waitingAtWindowStart, fairShare);
    if (flow.bytesTaken - flow.takenAtWindowStart < due) DropTooSlow(client);
  });
}

void TDadideVUDServer::FlowTick() {
  if (!listen_) return;
  flowTimer_.setInterval(kFlowTickMs);
  const auto alive = LifeToken();
  UpdateHolding();
  const std::int64_t now = SteadyNowMs();
  passNowMs_ = now;
  WatchProgressUnderPressure(now);
  if (alive.expired() || !listen_) return;
  bool partialInput = false;
  ForEachClient(WalkOrder::FirstToLast, [&](TDadideVUDServerClient* client) {
    if (!client->InService()) return;
    ConnectionFlow& flow = client->Flow;
    if (flow.readPaused && MayRead(client, now)) {
      ResumeReading(client);
      if (!client->InService()) return;
    }
    const std::size_t waiting = client->SendQueue.remaining();
    // The soft clock starts when the queue passes the soft limit, and starts
    // again whenever the reader has taken a soft limit's worth meanwhile: a
    // reader that keeps reading is never dropped by it, however much waits.
    if (waiting <= SoftQueueLimit) {
      flow.overSoftSinceMs = -1;
    } else if (flow.overSoftSinceMs < 0 || flow.bytesTaken - flow.takenAtSoftStart >= SoftQueueLimit) {
      flow.overSoftSinceMs = now;
      flow.takenAtSoftStart = flow.bytesTaken;
    }
    const bool overSoftTooLong = flow.overSoftSinceMs >= 0 && now - flow.overSoftSinceMs >= SoftQueueMs;
    if (overSoftTooLong) {
      DropTooSlow(client);
      return;
    }
    if (client->ReceiveBuffer.size() == 0) return;
    partialInput = true;
    // One that waits for a reservation is held back by the server, not stalling.
    const std::size_t announced = UnfinishedPacketSize(client->ReceiveBuffer);
    if (announced != 0 && flow.reservedPacket != announced) {
      flow.lastReceiveMs = now;
      return;
    }
    if (now - flow.lastReceiveMs < BodyStallMs) return;
    // Bytes still waiting in its socket mean it sends and the server holds
    // it back: that is no stall.
    std::uint32_t unread = 0;
    if (Api().ioctlFionread(client->Socket, &unread) == 0 && unread > 0) {
      flow.lastReceiveMs = now;
      return;
    }
    const std::size_t received = client->ReceiveBuffer.size();
    ScheduleDeparture(client);
    if (OnClientStalled) OnClientStalled(this, client, received);
  });
  if (alive.expired() || !listen_) return;
  AnnounceHolding(now);
  const bool needed = Budget.used() > 0 || pausedReaders_ > 0 || partialInput ||
                      announcedHolding_ != Budget.holdingSenders();
  GiveMemoryBackWhenQuiet();
  if (!needed) flowTimer_.stop();
}

}  // namespace parlivo
