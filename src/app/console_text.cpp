#include "app/console_text.h"

#include "encoding/codepage_1252.h"

namespace parlivo {
namespace {

// Bytes that decode to control characters: C0, DEL, and the five bytes
// of the code page that stand for C1 controls.
bool IsControl(unsigned char b) {
  return b < 0x20 || b == 0x7F || b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D;
}

}  // namespace

std::string ConsoleLogLine(std::string_view line) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(line.size());
  std::size_t start = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto b = static_cast<unsigned char>(line[i]);
    if (!IsControl(b)) continue;
    out += Windows1252ToUtf8(line.substr(start, i - start));
    out += "\\x";
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
    start = i + 1;
  }
  out += Windows1252ToUtf8(line.substr(start));
  return out;
}

}  // namespace parlivo
