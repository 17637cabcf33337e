#include "transport/packet_framing.h"

#include <cassert>

namespace parlivo {
namespace {

void WriteInt32LE(char* out, std::int32_t value) {
  const auto u = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((u >> (8 * i)) & 0xFF);
}

}  // namespace

OutgoingPacket MakePacket(std::int32_t DataSize, std::int32_t ID, const void* Data) {
  return OutgoingPacket{DataSize + kPacketHeaderSize, ID, Data};
}

PacketBytes WireBytes(const OutgoingPacket& packet) {
  PacketBytes bytes{};
  WriteInt32LE(bytes.header, packet.Size);
  WriteInt32LE(bytes.header + 4, packet.ID);
  const std::int32_t payload = packet.Size - kPacketHeaderSize;
  assert(payload <= 0 || packet.Data != nullptr);  // callers pass DataSize 0 when they have no payload
  if (payload > 0) bytes.payload = std::string_view(static_cast<const char*>(packet.Data), static_cast<std::size_t>(payload));
  return bytes;
}

void AppendPacket(ByteStream& queue, const OutgoingPacket& packet) {
  const PacketBytes bytes = WireBytes(packet);
  queue.append(bytes.header, sizeof bytes.header);
  queue.append(bytes.payload.data(), bytes.payload.size());
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
