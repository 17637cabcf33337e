#include "transport/packet_framing.h"

#include <cassert>

namespace parlivo {
namespace {

void AppendInt32LE(ByteStream& stream, std::int32_t value) {
  const auto u = static_cast<std::uint32_t>(value);
  const char bytes[4] = {static_cast<char>(u & 0xFF), static_cast<char>((u >> 8) & 0xFF),
                         static_cast<char>((u >> 16) & 0xFF), static_cast<char>((u >> 24) & 0xFF)};
  stream.append(bytes, sizeof bytes);
}

}  // namespace

OutgoingPacket MakePacket(std::int32_t DataSize, std::int32_t ID, const void* Data) {
  return OutgoingPacket{DataSize + kPacketHeaderSize, ID, Data};
}

void AppendPacket(ByteStream& queue, const OutgoingPacket& packet) {
  AppendInt32LE(queue, packet.Size);
  AppendInt32LE(queue, packet.ID);
  const std::int32_t payload = packet.Size - kPacketHeaderSize;
  assert(payload <= 0 || packet.Data != nullptr);  // callers pass DataSize 0 when they have no payload
  if (payload > 0) queue.append(packet.Data, static_cast<std::size_t>(payload));
}

void ExtractPacket(ByteStream& buffer, ByteStream& payload, PacketHeader& header) {
  payload.clear();
  std::size_t length = 0;
  if (PeekPacket(buffer.unread(), header, length) == PacketCut::NeedMore) {
    // A partial header or an unfinished payload: hand back what is there.
    header = PacketHeader{};
    payload.assign(buffer.unread().data(), buffer.remaining());
    buffer.setPosition(buffer.size());
  } else {
    const std::size_t start = buffer.position();
    payload.assign(buffer.data() + start + kPacketHeaderSize, length - kPacketHeaderSize);
    buffer.setPosition(start + length);
  }
  payload.setPosition(0);
}

std::string PayloadToString(ByteStream& payload) {
  std::string text(payload.unread());
  payload.setPosition(payload.size());
  return text;
}

}  // namespace parlivo
