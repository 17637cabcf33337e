// Feeds arbitrary bytes, in arbitrary chunks, through the receive pass and
// checks what the rest of the server relies on: every delivered payload
// matches its header, the buffer never keeps more than one unfinished
// packet, and delivering the same bytes all at once gives the same packets
// as delivering them in pieces (as long as no Size-0 header, which drops
// what happens to be buffered, is involved).

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "transport/packet_framing.h"

namespace {

using parlivo::ByteStream;

struct Packet {
  std::int32_t id;
  std::string payload;
  bool operator==(const Packet&) const = default;
};

struct Run {
  std::vector<Packet> packets;
  bool stopped = false;  // Size 0 or oversized seen
};

void Check(bool condition) {
  if (!condition) std::abort();
}

void Pass(ByteStream& buffer, Run& run) {
  ByteStream payload;
  const auto end = parlivo::RunReceivePass(buffer, payload, [&](std::int32_t id, ByteStream& data) {
    Check(data.position() == 0);
    run.packets.push_back({id, parlivo::PayloadToString(data)});
    return true;
  });
  if (end != parlivo::ReceivePassEnd::Drained) {
    run.stopped = true;
    return;
  }
  Check(buffer.position() == 0);
  // What is left is the start of one packet that has not all arrived.
  if (buffer.size() >= 8) {
    const std::int32_t size = parlivo::ReadInt32LE(buffer.data());
    Check(size > 8 && static_cast<std::size_t>(size) > buffer.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t chunk = data[0] % 17 + 1;
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  ByteStream whole;
  Run atOnce;
  whole.append(bytes.data(), bytes.size());
  Pass(whole, atOnce);

  ByteStream pieces;
  Run inPieces;
  for (std::size_t offset = 0; offset < bytes.size() && !inPieces.stopped; offset += chunk) {
    const std::string piece = bytes.substr(offset, chunk);
    pieces.append(piece.data(), piece.size());
    Pass(pieces, inPieces);
  }
  if (!atOnce.stopped && !inPieces.stopped) Check(atOnce.packets == inPieces.packets);
  return 0;
}
