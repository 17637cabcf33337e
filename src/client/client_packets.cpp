#include "client/client_packets.h"

#include "transport/packet_framing.h"

namespace parlivo {
namespace {

constexpr char kShortStringKind = 0x06;
constexpr char kLongStringKind = 0x0C;
constexpr std::size_t kShortStringMax = 255;

void AppendInt32LE(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

// Payloads longer than an int32 cannot be announced; nothing we send comes near.
std::uint32_t LengthOf(std::string_view bytes) {
  return static_cast<std::uint32_t>(bytes.size());
}

}  // namespace

std::string BuildHeader(std::int32_t size, std::int32_t id) {
  std::string header;
  AppendInt32LE(header, static_cast<std::uint32_t>(size));
  AppendInt32LE(header, static_cast<std::uint32_t>(id));
  return header;
}

std::string BuildPacket(std::int32_t id, std::string_view payload) {
  std::string packet;
  packet.reserve(kPacketHeaderSize + payload.size());
  packet = BuildHeader(static_cast<std::int32_t>(LengthOf(payload) + kPacketHeaderSize), id);
  packet.append(payload);
  return packet;
}

std::string RegistrationString(std::string_view text) {
  std::string out;
  if (text.size() <= kShortStringMax) {
    out.push_back(kShortStringKind);
    out.push_back(static_cast<char>(text.size()));
  } else {
    out.push_back(kLongStringKind);
    AppendInt32LE(out, LengthOf(text));
  }
  out.append(text);
  return out;
}

std::string RegistrationPayload(std::string_view nick, std::string_view room) {
  return RegistrationString(nick) + RegistrationString(room);
}

std::string PrivateDataPayload(std::string_view nick, std::string_view data) {
  std::string out;
  out.reserve(4 + nick.size() + data.size());
  AppendInt32LE(out, LengthOf(nick));
  out.append(nick);
  out.append(data);
  return out;
}

std::vector<std::string> ParseUserList(std::string_view payload) {
  std::vector<std::string> names;
  for (;;) {
    const std::size_t end = payload.find("\r\n");
    if (end == std::string_view::npos) break;
    names.emplace_back(payload.substr(0, end));
    payload.remove_prefix(end + 2);
  }
  if (!payload.empty()) names.emplace_back(payload);
  return names;
}

void PacketReader::append(std::string_view bytes) {
  if (failed()) return;
  // Drop what was cut before growing, so the buffer never holds more than
  // one unfinished packet plus the new bytes.
  if (start_ > 0) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(bytes);
  cut();
}

std::optional<ReceivedPacket> PacketReader::next() {
  if (ready_.empty()) return std::nullopt;
  ReceivedPacket packet = std::move(ready_.front());
  ready_.pop_front();
  return packet;
}

void PacketReader::cut() {
  for (;;) {
    const std::string_view rest = std::string_view(buffer_).substr(start_);
    PacketHeader header;
    std::size_t length = 0;
    const PacketCut result = PeekPacket(rest, header, length);
    if (rest.size() < static_cast<std::size_t>(kPacketHeaderSize)) return;
    if (header.Size == 0) {
      error_ = "protocol error: packet with size 0 (ID " + std::to_string(header.ID) + ")";
      return;
    }
    if (header.Size > kMaxPacketSize) {
      error_ = "protocol error: packet of " + std::to_string(header.Size) + " bytes (ID " +
               std::to_string(header.ID) + ") is larger than the limit of " + std::to_string(kMaxPacketSize);
      return;
    }
    if (result == PacketCut::NeedMore) return;
    start_ += length;
    if (header.Size < 0) continue;
    ready_.push_back({header.ID, std::string(rest.substr(kPacketHeaderSize, length - kPacketHeaderSize))});
  }
}

}  // namespace parlivo
