#pragma once
// Packets on a TCP connection: the 8-byte header, appending a packet to a
// send queue, and cutting complete packets out of a receive buffer.
//
// Wire format: Size (int32, little-endian, the whole packet including the
// header), ID (int32, little-endian), then Size - 8 payload bytes. Packets
// follow each other back to back; there is no other framing.
//
// How sizes are taken when cutting:
//   Size 1..8       a packet without payload (8 bytes consumed)
//   Size < 0        skipped: nothing delivered, 8 bytes consumed
//   Size 0          ends the pass and discards everything after it
//   Size > 16 MiB   refused: the connection is treated as closed by its peer
//                   (holding a payload that large for one peer would let a
//                   single client exhaust the server's memory)
//   otherwise       waited for until the whole payload has arrived
//
// Everything here is a pure function over byte streams: no sockets.

#include <cstdint>
#include <utility>
#include <cstring>
#include <string>
#include <string_view>

#include "transport/byte_stream.h"

namespace parlivo {

inline constexpr std::int32_t kPacketHeaderSize = 8;
// The largest Size a peer may announce (16 MiB).
inline constexpr std::int32_t kMaxPacketSize = 16 * 1024 * 1024;

struct PacketHeader {
  std::int32_t Size = 0;
  std::int32_t ID = 0;
};

// A packet to be queued. Data is borrowed: it is copied into the queue and
// never freed here.
struct OutgoingPacket {
  std::int32_t Size = 0;  // payload length + 8
  std::int32_t ID = 0;
  const void* Data = nullptr;
};

OutgoingPacket MakePacket(std::int32_t DataSize, std::int32_t ID, const void* Data);

// A packet as its bytes on the wire: the 8-byte header (Size and ID as
// given) and, when Size is 9 or more, the Size - 8 payload bytes from Data.
struct PacketBytes {
  char header[kPacketHeaderSize];
  std::string_view payload;
};
PacketBytes WireBytes(const OutgoingPacket& packet);

// Appends the packet's header and, when Size is 9 or more, its Size - 8
// payload bytes at the end of `queue`. The queue's position (its first
// unsent byte) does not move, so the packet waits behind earlier bytes.
void AppendPacket(ByteStream& queue, const OutgoingPacket& packet);

// Little-endian int32 at `p`.
inline std::int32_t ReadInt32LE(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(u[0]) | (static_cast<std::uint32_t>(u[1]) << 8) |
                                   (static_cast<std::uint32_t>(u[2]) << 16) |
                                   (static_cast<std::uint32_t>(u[3]) << 24));
}

// What the bytes at the front of `bytes` hold.
enum class PacketCut {
  NeedMore,   // fewer than 8 bytes, or a header whose payload has not all arrived
  Complete,   // one whole packet: `header`, and `length` bytes in all
};

// Looks at the packet at the start of `bytes` without consuming anything.
// For Size 8 or less `length` is 8; otherwise it is Size. Size limits are
// the caller's business.
inline PacketCut PeekPacket(std::string_view bytes, PacketHeader& header, std::size_t& length) {
  if (bytes.size() < static_cast<std::size_t>(kPacketHeaderSize)) return PacketCut::NeedMore;
  header.Size = ReadInt32LE(bytes.data());
  header.ID = ReadInt32LE(bytes.data() + 4);
  const std::int64_t payload = static_cast<std::int64_t>(header.Size) - kPacketHeaderSize;
  length = static_cast<std::size_t>(kPacketHeaderSize + (payload > 0 ? payload : 0));
  return length <= bytes.size() ? PacketCut::Complete : PacketCut::NeedMore;
}

// One cutting step. `buffer` is positioned at the first byte not yet cut.
//  - Fewer than 8 bytes left: header {0, 0}; Payload receives those bytes.
//  - Size 8 or less: header as read, 8 bytes consumed, Payload empty.
//  - Payload incomplete: header {0, 0}; Payload receives all remaining
//    bytes, header included; the buffer's position is left at their end.
//  - Otherwise: header as read, Payload holds the payload and the buffer is
//    positioned at the next packet.
// Payload's position is 0 afterwards.
void ExtractPacket(ByteStream& buffer, ByteStream& payload, PacketHeader& header);

// The payload's bytes from its position to its end, zero bytes included;
// moves the position to the end.
std::string PayloadToString(ByteStream& payload);

enum class ReceivePassEnd {
  Drained,    // every complete packet was delivered; at most one unfinished packet is left
  SizeZero,   // a header with Size 0 ended the pass; the buffer was emptied
  Oversized,  // a header announced more than kMaxPacketSize; the caller drops the connection
  Abandoned,  // the receiver went away during a delivery; the buffer was not touched after it
  Paused,     // the receiver asked to stop before a complete packet; it and the rest are kept
};

// Delivers every complete packet from `buffer`'s position onwards, in order,
// each exactly once, by calling deliver(ID, payload) with the payload in
// `payload` (positioned at 0). deliver returns false when the buffer's owner
// no longer exists; the pass then stops without touching the buffer again.
//
// The buffer's position is the first byte not yet delivered, always: it is
// moved past a packet before that packet is delivered. So when a delivery
// throws, the exception leaves the buffer positioned just after the failed
// packet and the next pass resumes there; and a pass nested inside a
// delivery (a handler that pumps the event loop) continues from where the
// outer pass got to, after which the outer pass continues from wherever the
// inner one stopped. A pass that ends normally drops the delivered bytes, so
// between passes the buffer holds only the start of one unfinished packet.
//
// Before each complete packet the pass asks mayGoOn(); false ends it there
// (Paused): the delivered bytes are dropped and that packet waits for a
// later pass. It is how a receiver slows a sender without losing anything.
//
// Each payload is copied once; `payload` is reused for every packet.
template <typename Deliver, typename MayGoOn>
ReceivePassEnd RunReceivePass(ByteStream& buffer, ByteStream& payload, Deliver&& deliver, MayGoOn&& mayGoOn) {
  for (;;) {
    PacketHeader header;
    std::size_t length = 0;
    const std::size_t start = buffer.position();
    if (buffer.remaining() < static_cast<std::size_t>(kPacketHeaderSize)) break;
    const PacketCut cut = PeekPacket(buffer.unread(), header, length);
    if (header.Size == 0) {
      buffer.clear();
      return ReceivePassEnd::SizeZero;
    }
    if (header.Size > kMaxPacketSize) return ReceivePassEnd::Oversized;
    if (cut == PacketCut::NeedMore) break;
    if (!mayGoOn()) {
      buffer.eraseFront(buffer.position());
      return ReceivePassEnd::Paused;
    }
    buffer.setPosition(start + length);
    if (header.Size < 0) continue;
    payload.assign(buffer.data() + start + kPacketHeaderSize, length - kPacketHeaderSize);
    if (!deliver(header.ID, payload)) return ReceivePassEnd::Abandoned;
  }
  buffer.eraseFront(buffer.position());
  return ReceivePassEnd::Drained;
}

template <typename Deliver>
ReceivePassEnd RunReceivePass(ByteStream& buffer, ByteStream& payload, Deliver&& deliver) {
  return RunReceivePass(buffer, payload, std::forward<Deliver>(deliver), [] { return true; });
}

}  // namespace parlivo
