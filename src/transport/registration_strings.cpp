#include "transport/registration_strings.h"

#include <cstdint>

#include "encoding/codepage_1252.h"
#include "transport/exception.h"

namespace parlivo {
namespace {

enum Kind : unsigned char { kShortString = 0x06, kLongString = 0x0C, kUtf16String = 0x12, kUtf8String = 0x14 };

void ReadExactly(ByteStream& data, void* out, std::size_t count) {
  if (data.read(out, count) != count) throw EReadError(kStreamReadError);
}

std::int64_t ReadLength(ByteStream& data, Kind kind) {
  if (kind == kShortString) {
    unsigned char length = 0;
    ReadExactly(data, &length, 1);
    return length;
  }
  char bytes[4];
  ReadExactly(data, bytes, sizeof bytes);
  const auto u = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[0])) |
                 static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[1])) << 8 |
                 static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2])) << 16 |
                 static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[3])) << 24;
  return static_cast<std::int32_t>(u);
}

std::string ReadBytes(ByteStream& data, std::int64_t count) {
  if (count <= 0) return {};
  if (static_cast<std::uint64_t>(count) > data.remaining()) throw EReadError(kStreamReadError);
  std::string bytes(static_cast<std::size_t>(count), '\0');
  ReadExactly(data, bytes.data(), bytes.size());
  return bytes;
}

}  // namespace

std::string ReadRegistrationString(ByteStream& data) {
  unsigned char kind = 0;
  ReadExactly(data, &kind, 1);
  switch (kind) {
    case kShortString:
    case kLongString: return ReadBytes(data, ReadLength(data, static_cast<Kind>(kind)));
    case kUtf16String: return Utf16LeToWindows1252(ReadBytes(data, 2 * ReadLength(data, kUtf16String)));
    case kUtf8String: return Utf8ToWindows1252(ReadBytes(data, ReadLength(data, kUtf8String)));
    default: throw EReadError(kInvalidPropertyValue);
  }
}

}  // namespace parlivo
