#pragma once
// What a chat client puts on the wire and how it reads what comes back:
// pure functions over byte strings, plus a reader that cuts a stream of
// received bytes into packets. No sockets here.
//
// Wire format (see transport/packet_framing.h): Size (int32 LE, the whole
// packet including the 8-byte header), ID (int32 LE), Size - 8 payload bytes.
//
// How PacketReader takes the sizes it reads:
//   Size 1..8            a packet without payload (8 bytes consumed)
//   Size < 0             skipped: nothing handed out, 8 bytes consumed
//   Size 0               protocol error (a server never sends it, and nothing
//                        after it can be trusted to be a packet boundary)
//   Size > kMaxPacketSize protocol error (a client refuses to hold it)
//   otherwise            waited for until the whole payload has arrived
// After a protocol error the reader hands out nothing more; packets cut
// before the bad header are still handed out first.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parlivo {

// One whole packet as received: its ID and its payload bytes.
struct ReceivedPacket {
  std::int32_t id = 0;
  std::string payload;
  bool operator==(const ReceivedPacket&) const = default;
};

// The 8-byte header alone, announcing `size` (header included): for a packet
// written in pieces, or one a load tool cuts short on purpose.
std::string BuildHeader(std::int32_t size, std::int32_t id);

// Header and payload of one packet, ready to send.
std::string BuildPacket(std::int32_t id, std::string_view payload);

// One string of the registration payload: kind byte 0x06 and a one-byte
// length for up to 255 bytes, kind byte 0x0C and an int32 LE length above.
std::string RegistrationString(std::string_view text);

// Payload of ID 11: the user name, then the room, each as a registration string.
std::string RegistrationPayload(std::string_view nick, std::string_view room);

// Payload of ID 24 as a client sends it: int32 LE length of the recipient's
// name, the name, then the data.
std::string PrivateDataPayload(std::string_view nick, std::string_view data);

// The names of a roster (payload of ID 21). Every CR LF ends one name; a
// name may be empty when two CR LF follow each other. A trailing part
// without CR LF is still taken as a name when it is not empty (a roster that
// lost its last terminator still names that user). A lone CR or LF is part
// of a name.
std::vector<std::string> ParseUserList(std::string_view payload);

// Cuts appended bytes into packets, in order, each exactly once.
class PacketReader {
 public:
  // Adds received bytes and cuts every packet they complete. Ignored after
  // a protocol error.
  void append(std::string_view bytes);
  // The oldest packet not yet handed out, if any.
  std::optional<ReceivedPacket> next();

  bool failed() const { return !error_.empty(); }
  // What went wrong, empty while nothing did.
  const std::string& error() const { return error_; }
  // Bytes of an unfinished packet waiting for the rest.
  std::size_t buffered() const { return buffer_.size() - start_; }

 private:
  void cut();

  std::string buffer_;
  std::size_t start_ = 0;  // first byte of buffer_ not yet cut
  std::deque<ReceivedPacket> ready_;
  std::string error_;
};

}  // namespace parlivo
