#include "encoding/display_text.h"

#include "encoding/codepage_1252.h"

namespace parlivo {
namespace {

// Bytes that decode to control characters: C0, DEL, and the five bytes
// of the code page that stand for C1 controls.
bool IsControl(unsigned char b) {
  return b < 0x20 || b == 0x7F || b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D;
}

std::string Escape(unsigned char b) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  switch (b) {
    case '\r': return "\\r";
    case '\n': return "\\n";
    case '\t': return "\\t";
    default: return {'\\', 'x', kHex[b >> 4], kHex[b & 0xF]};
  }
}

}  // namespace

std::string DisplayText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (!IsControl(b)) continue;
    out += Windows1252ToUtf8(text.substr(start, i - start));
    out += Escape(b);
    start = i + 1;
  }
  out += Windows1252ToUtf8(text.substr(start));
  return out;
}

}  // namespace parlivo
