#pragma once
// FlowController: the flow control's decisions, apart from the sockets and
// handlers that carry them out.
//
// It owns the memory budget, the input buckets of every connection and of
// every other machine, and the flow state of each connection
// (ConnectionFlow, kept in the connection but written only here). The
// server asks it before it reads, before it delivers a packet, after each
// receive and on each tick of the flow clock, and carries out the answers:
// hold a sender back or read it again, drop a reader as too slow, drop a
// client stuck in a packet, refuse a connection, tell the operator. The
// controller never touches a socket and never calls a handler, so nothing
// it decides can re-enter the server or free a connection under it.
//
// The rules, in short:
// - Queued output and partial packets of all connections count against
//   Budget. Past its high-water mark every sender is held back (TCP then
//   slows them) until queued output falls to the low-water mark; a partial
//   packet grows only while the budget has room for it.
// - Each connection has token buckets for bytes and packets, and the
//   connections of one other machine share a pair as well; a connection
//   over either is not read until they refill.
// - A large packet reserves its room before its body is read; one
//   machine's reservations together stay within a quarter of the high-water
//   mark, though its first always gets in.
// - Readers are dropped only for lack of progress: a queue above the soft
//   limit for the soft time while the reader took less than the soft
//   limit's worth, or, while senders are held back, less than a fair share
//   taken in a window. Clients that stop in the middle of a packet (less
//   than kBodyProgressBytes of it in BodyStallMs) are dropped too.
//
// Time: milliseconds from the clock the owner injects (the steady clock by
// default; tests pass a clock they move by hand). StartPass reads it once
// for a pass of the event loop, so the hundreds of packets one notice
// delivers cost one reading.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "transport/byte_stream.h"
#include "transport/memory_budget.h"
#include "transport/notice_throttle.h"
#include "transport/token_bucket.h"

namespace parlivo {

// What the connections from one other machine share (AddressGroup): their
// input buckets, so that flooders from one host are slowed as one, the room
// they have reserved for large packets, and how many of them there are and
// how many of those have not registered. Loopback connections share none.
struct AddressFlow {
  TokenBucket bytes;
  TokenBucket packets;
  std::size_t connections = 0;
  std::size_t unregistered = 0;
  std::size_t reserved = 0;
};

// What the flow control keeps per connection (times in ms of the
// controller's clock). Only the controller writes it, but bytesTaken,
// which the connection's sends count.
struct ConnectionFlow {
  TokenBucket bytes;                     // what it may still send us, in bytes...
  TokenBucket packets;                   // ...and in packets
  std::shared_ptr<AddressFlow> address;  // its machine's share; null for loopback
  std::string addressKey;                // that machine's key (AddressGroup)
  bool registered = false;               // a registration was granted (ID 18)
  bool readPaused = false;               // it is held back: its reading is off
  std::int64_t overSoftSinceMs = -1;     // since when its queue has been above the soft limit
  std::int64_t lastReceiveMs = 0;        // last progress of the packet it is sending
  std::size_t receivedSinceProgress = 0;  // bytes read since then
  std::size_t accountedInput = 0;        // receive-buffer bytes counted in the memory budget
  std::size_t reservedPacket = 0;        // announced size of the unfinished packet it reserved, 0: none
  std::uint64_t bytesTaken = 0;          // queued bytes its socket has taken, in all
  std::uint64_t takenAtSoftStart = 0;    // bytesTaken when the soft clock last started
  // The window of the progress check under pressure that the reader is in:
  // when it began, and what the reader had taken and had waiting then.
  std::int64_t pressureWindowStartMs = -1;
  std::uint64_t takenAtWindowStart = 0;
  std::size_t waitingAtWindowStart = 0;
};

class FlowController {
 public:
  using Clock = std::function<std::int64_t()>;

  // What one client may send: generous enough that no person notices
  // (pasting a megabyte, a file of a few MiB), low enough that one flooder
  // cannot outrun readers that take 2 MB/s. LimitInput false lifts it
  // (benchmarks); reading pauses, never drops, while a client is over it.
  static constexpr TokenRate kInputBytes{1024.0 * 1024, 8.0 * 1024 * 1024};
  static constexpr TokenRate kInputPackets{200, 1000};
  static constexpr std::size_t kSoftQueueLimit = std::size_t{8} << 20;
  static constexpr std::int64_t kSoftQueueMs = 30000;
  // Under pressure the readers with a backlog of kPressureBacklog or more
  // are compared every PressureWindowMs; one that took less than its fair
  // share (a quarter of their average, at least FairShareFloorBytes) and
  // less than all it had goes. Answering pings is no progress.
  static constexpr std::int64_t kPressureWindowMs = 2000;
  static constexpr std::size_t kFairShareFloorBytes = 64 * 1024;
  static constexpr std::size_t kPressureBacklog = 64 * 1024;
  // A packet under way that gains less than kBodyProgressBytes in
  // BodyStallMs is stuck: it holds budget and will never be complete.
  static constexpr std::int64_t kBodyStallMs = 10000;
  static constexpr std::size_t kBodyProgressBytes = 16 * 1024;
  // The most bytes one read takes from a client: a large packet arrives
  // over several reads, so the budget and the buckets are asked in between.
  static constexpr std::size_t kReadChunk = 256 * 1024;
  // Connections from one machine that have not registered yet: a host
  // cannot hold the server's slots with connections that only answer pings.
  static constexpr std::uint32_t kUnregisteredPerAddress = 8;
  // Descriptors kept for everything but clients (listening sockets, log,
  // settings file, the event loop's own).
  static constexpr std::uint32_t kReservedDescriptors = 32;

  explicit FlowController(Clock clock);
  // Replaces the clock; before the first connection (tests).
  void SetClock(Clock clock) { clock_ = std::move(clock); }

  // --- Settings, read at their next use.
  MemoryBudget Budget;
  bool LimitInput = true;
  TokenRate InputBytes = kInputBytes;
  TokenRate InputPackets = kInputPackets;
  std::size_t SoftQueueLimit = kSoftQueueLimit;
  std::int64_t SoftQueueMs = kSoftQueueMs;
  std::int64_t PressureWindowMs = kPressureWindowMs;
  std::size_t FairShareFloorBytes = kFairShareFloorBytes;
  std::int64_t BodyStallMs = kBodyStallMs;
  // Connections served at once; 0 takes DefaultMaxClients of the
  // descriptor limit. Loopback is never limited per machine (local tools,
  // a proxy on the same machine); MaxClientsPerAddress 0 sets no limit.
  std::uint32_t MaxClients = 0;
  std::uint32_t MaxClientsPerAddress = 0;
  std::uint32_t UnregisteredPerAddress = kUnregisteredPerAddress;

  static std::uint32_t DefaultMaxClients(std::uint32_t maxSockets);
  std::uint32_t EffectiveMaxClients(std::uint32_t maxSockets) const;

  // Reads the clock for one pass of the event loop and returns it.
  std::int64_t StartPass();
  std::int64_t PassNowMs() const { return passNowMs_; }

  // --- A connection's life.
  // Why a new connection from `host` is refused while `clients` are
  // served; empty when it is not.
  std::string RefusalReason(const std::string& host, std::size_t clients, std::uint32_t maxSockets) const;
  // An accepted connection from `host`: ties it to its machine's share.
  void Attach(ConnectionFlow& flow, const std::string& host);
  // It is served from now: its buckets start full. True when it is to be
  // held back at once (senders are held back).
  bool Start(ConnectionFlow& flow);
  // A registration was granted: it no longer counts against its machine's
  // share of unregistered connections.
  void MarkRegistered(ConnectionFlow& flow);
  // It was released: its partial input leaves the budget and its machine's
  // share forgets it. (Its queued output leaves with its queue.)
  void Detach(ConnectionFlow& flow);

  // --- Reading.
  // How many of the `waiting` bytes of a connection whose receive buffer
  // holds `received` to read now; 0 holds it back (Pause).
  std::size_t ReadAllowance(ConnectionFlow& flow, const ByteStream& received, std::size_t waiting);
  // Whether the next complete packet may be delivered now; false keeps it
  // for a later pass. Ask UpdateHolding first: relays fill the budget.
  bool MayDeliver(ConnectionFlow& flow);
  // A receive is over and `received` holds what is left. True when the
  // connection is to be held back (kept-back packets, or over its buckets).
  bool Settle(ConnectionFlow& flow, const ByteStream& received);
  // Whether its buckets and the budget let a connection be read now.
  bool MayRead(ConnectionFlow& flow);
  // Bookkeeping of held-back connections; true when the state changed (the
  // caller then turns reading off or on).
  bool Pause(ConnectionFlow& flow);
  bool Resume(ConnectionFlow& flow);
  std::size_t PausedReaders() const { return pausedReaders_; }

  // --- The budget's marks.
  enum class Holding { Unchanged, Started, Ended };
  // Re-evaluates the marks. Started: hold every sender back now. Ended:
  // the clock may resume them.
  Holding UpdateHolding();
  bool HoldingSenders() const { return Budget.holdingSenders(); }
  // For how long senders were held back in all, the current hold included.
  double HeldBackSeconds() const;
  // The operator's line when holding started or ended since the last one
  // (at most one a second); empty when there is nothing new to say.
  std::string HoldingNotice();

  // --- The flow clock's tick.
  enum class Verdict {
    Idle,     // nothing unfinished, nothing to do
    Partial,  // a packet under way that still progresses (or waits for room)
    TooSlow,  // drop: a reader that makes no progress
    Stalled,  // drop, unless bytes wait in its socket (StillSending)
  };
  // The verdict on one connection in service with `waiting` bytes queued.
  Verdict Check(ConnectionFlow& flow, const ByteStream& received, std::size_t waiting);
  // A Stalled connection has bytes waiting in its socket: the server holds
  // it back, it is not stuck.
  void StillSending(ConnectionFlow& flow);
  // A reader in service, for the check under pressure.
  struct Reader {
    ConnectionFlow* flow;
    std::size_t waiting;  // bytes queued for it
  };
  // While senders are held back: ends a window that is over and returns
  // the indexes of the readers that did not take their fair share in it,
  // then starts the next window for `readers`. Empty otherwise.
  std::vector<std::size_t> CheckUnderPressure(const std::vector<Reader>& readers);
  // Whether the clock still has work: memory held, a reader held back, a
  // packet under way, a notice not yet said.
  bool NeedsClock(bool partialInput) const;
  // The server stopped: a hold not yet told is no longer news.
  void Stop() { announcedHolding_ = false; }

 private:
  // Reserves the budget for the unfinished packet in `received`, if there
  // is one and it has not yet; false when it does not fit.
  bool Reserve(ConnectionFlow& flow, const ByteStream& received);
  void SetReserved(ConnectionFlow& flow, std::size_t packet);
  bool MayRead(ConnectionFlow& flow, std::int64_t nowMs);

  Clock clock_;
  std::int64_t passNowMs_ = 0;
  // The shares of the other machines with connections, by AddressGroup.
  std::unordered_map<std::string, std::shared_ptr<AddressFlow>> addresses_;
  std::size_t pausedReaders_ = 0;
  bool announcedHolding_ = false;
  NoticeThrottle holdNotices_;
  std::int64_t holdStartMs_ = 0;
  std::int64_t heldBackMs_ = 0;
  // When the current window of the check under pressure began; -1 while
  // senders are not held back.
  std::int64_t pressureWindowStartMs_ = -1;
};

}  // namespace parlivo
