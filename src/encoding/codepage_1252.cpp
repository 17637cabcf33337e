#include "encoding/codepage_1252.h"

#include <array>
#include <cstdint>

namespace parlivo {
namespace {

// Unicode of the bytes 0x80..0x9F; the other bytes are Latin-1 identical.
// The unassigned bytes 0x81, 0x8D, 0x8F, 0x90 and 0x9D stand for the C1
// controls of the same value, as the clients' platform converts them.
constexpr std::array<char32_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

constexpr char kReplacement = '?';
constexpr char32_t kBadUnit = 0xFFFFFFFF;

char ToWindows1252(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
  for (std::size_t i = 0; i < kHighControls.size(); ++i)
    if (kHighControls[i] == c) return static_cast<char>(0x80 + i);
  return kReplacement;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Decodes one UTF-8 character at `text[i]`, advancing i. Returns kBadUnit
// (consuming one byte) for anything ill-formed: stray continuation bytes,
// truncated or overlong sequences, surrogates, values above U+10FFFF.
char32_t NextUtf8(std::string_view text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i++]);
  if (lead < 0x80) return lead;
  int extra = 0;        // continuation bytes that follow
  char32_t minimum = 0;  // smallest value this length may carry (no overlongs)
  if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    minimum = 0x10000;
  } else {
    return kBadUnit;
  }
  char32_t c = lead & (0x3F >> extra);
  if (i + static_cast<std::size_t>(extra) > text.size()) return kBadUnit;
  for (int k = 0; k < extra; ++k) {
    const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
    if ((next & 0xC0) != 0x80) return kBadUnit;
    c = (c << 6) | (next & 0x3F);
  }
  if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return kBadUnit;
  i += static_cast<std::size_t>(extra);
  return c;
}

}  // namespace

std::string Utf16LeToWindows1252(std::string_view utf16le) {
  std::string out;
  out.reserve(utf16le.size() / 2 + 1);
  const auto unit = [&](std::size_t k) {
    return static_cast<char16_t>(static_cast<unsigned char>(utf16le[2 * k]) |
                                 (static_cast<unsigned char>(utf16le[2 * k + 1]) << 8));
  };
  const std::size_t units = utf16le.size() / 2;
  for (std::size_t k = 0; k < units; ++k) {
    const char16_t u = unit(k);
    if (u >= 0xD800 && u <= 0xDBFF && k + 1 < units && unit(k + 1) >= 0xDC00 && unit(k + 1) <= 0xDFFF) {
      ++k;  // a pair: a character outside the basic plane, which 1252 lacks
      out.push_back(kReplacement);
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      out.push_back(kReplacement);
    } else {
      out.push_back(ToWindows1252(u));
    }
  }
  if (utf16le.size() % 2 != 0) out.push_back(kReplacement);
  return out;
}

std::string Utf8ToWindows1252(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const char32_t c = NextUtf8(utf8, i);
    out.push_back(c == kBadUnit ? kReplacement : ToWindows1252(c));
  }
  return out;
}

std::string Windows1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (const char byte : text) {
    const auto b = static_cast<unsigned char>(byte);
    AppendUtf8(out, b >= 0x80 && b < 0xA0 ? kHighControls[b - 0x80] : b);
  }
  return out;
}

}  // namespace parlivo
