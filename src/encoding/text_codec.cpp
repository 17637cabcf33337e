// Chat text encoding: table-driven implementation.
//
// Each group of 4 text bytes is read as a little-endian 32-bit word, its
// bits are shuffled by a fixed permutation, and the shuffled word is written
// as six 6-bit symbols, lowest bits first. Decoding reverses the steps.
//
// Doing the shuffle one bit at a time would cost 32 moves per group. The
// shuffle only moves bits around, so it distributes over OR: the shuffled
// word is the OR of the shuffles of its parts. All tables below therefore
// map one input byte (or one symbol) straight to its share of the result and
// are built by the compiler, so nothing is set up at run time.
#include "encoding/text_codec.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace parlivo {
namespace {

using Word = std::uint32_t;

constexpr int kWordBits = 32;
constexpr int kSymbolBits = 6;
constexpr Word kSymbolMask = 63;
constexpr Word kLastSymbolMask = 3;  // the sixth symbol carries bits 30-31 only
constexpr std::uint8_t kNotASymbol = 255;

// Bit s of the plain word goes to bit (3s - 1) mod 32 of the shuffled word.
// Multiplying by 3 is invertible modulo 32, so this is a true permutation.
constexpr int ShuffledBitOf(int plain_bit) {
  return (3 * plain_bit + kWordBits - 1) % kWordBits;
}

// Inverse: bit d of the shuffled word came from bit 11(d + 1) mod 32 of the
// plain word (11 * 3 = 33, which is 1 modulo 32).
constexpr int PlainBitOf(int shuffled_bit) {
  return ((shuffled_bit + 1) * 11) % kWordBits;
}

template <typename BitMap>
constexpr Word MoveBits(Word word, BitMap destination_of) {
  Word moved = 0;
  for (int bit = 0; bit < kWordBits; ++bit) {
    if ((word >> bit) & 1u) moved |= Word{1} << destination_of(bit);
  }
  return moved;
}

constexpr Word Shuffle(Word plain) { return MoveBits(plain, ShuffledBitOf); }
constexpr Word Unshuffle(Word shuffled) { return MoveBits(shuffled, PlainBitOf); }

static_assert(Unshuffle(Shuffle(0x89ABCDEFu)) == 0x89ABCDEFu);
static_assert(Shuffle(Word{1} << 11) == 1u);

// kShuffleByByte[k][b]: the shuffled bits of byte value b at byte position k.
constexpr auto kShuffleByByte = [] {
  std::array<std::array<Word, 256>, kTextBytesPerGroup> tables{};
  for (std::size_t k = 0; k < kTextBytesPerGroup; ++k) {
    for (Word b = 0; b < 256; ++b) tables[k][b] = Shuffle(b << (8 * k));
  }
  return tables;
}();

// kSymbolValue[c]: the alphabet value of byte c, or kNotASymbol.
constexpr auto kSymbolValue = [] {
  std::array<std::uint8_t, 256> values{};
  values.fill(kNotASymbol);
  for (std::size_t v = 0; v < kSymbolAlphabet.size(); ++v) {
    values[static_cast<unsigned char>(kSymbolAlphabet[v])] = static_cast<std::uint8_t>(v);
  }
  return values;
}();

// The shuffled-word bits contributed by symbol byte c at position i of a
// group. A non-symbol counts as 255 and so spills into the next field's low
// bits; at position 4 it fills bits 24-31, and bits beyond 31 are lost.
constexpr Word ShuffledShareOf(std::size_t position, unsigned char c) {
  Word value = kSymbolValue[c];
  if (position == kSymbolsPerGroup - 1) value &= kLastSymbolMask;
  return static_cast<Word>(value << (kSymbolBits * position));
}

// kPlainShare[i][c]: the plain-word bits contributed by symbol byte c at
// position i, i.e. the unshuffled ShuffledShareOf.
constexpr auto kPlainShare = [] {
  std::array<std::array<Word, 256>, kSymbolsPerGroup> tables{};
  for (std::size_t i = 0; i < kSymbolsPerGroup; ++i) {
    for (unsigned c = 0; c < 256; ++c) {
      tables[i][c] = Unshuffle(ShuffledShareOf(i, static_cast<unsigned char>(c)));
    }
  }
  return tables;
}();

Word ShuffleGroup(const unsigned char* bytes) {
  return kShuffleByByte[0][bytes[0]] | kShuffleByByte[1][bytes[1]] |
         kShuffleByByte[2][bytes[2]] | kShuffleByByte[3][bytes[3]];
}

void WriteSymbols(Word shuffled, char* out) {
  for (std::size_t j = 0; j < kSymbolsPerGroup; ++j) {
    out[j] = kSymbolAlphabet[(shuffled >> (kSymbolBits * j)) & kSymbolMask];
  }
}

Word PlainWordOfFullGroup(const unsigned char* s) {
  return kPlainShare[0][s[0]] | kPlainShare[1][s[1]] | kPlainShare[2][s[2]] |
         kPlainShare[3][s[3]] | kPlainShare[4][s[4]] | kPlainShare[5][s[5]];
}

Word PlainWordOfShortGroup(const unsigned char* s, std::size_t count) {
  Word plain = 0;
  for (std::size_t i = 0; i < count; ++i) plain |= kPlainShare[i][s[i]];
  return plain;
}

bool HasZeroByte(Word w) { return ((w - 0x01010101u) & ~w & 0x80808080u) != 0; }

// Appends the bytes of a plain word, lowest first, up to its first zero byte.
char* EmitPlainBytes(Word plain, char* out) {
  if (!HasZeroByte(plain)) {
    for (std::size_t k = 0; k < kTextBytesPerGroup; ++k) out[k] = static_cast<char>(plain >> (8 * k));
    return out + kTextBytesPerGroup;
  }
  for (; (plain & 0xFFu) != 0; plain >>= 8) *out++ = static_cast<char>(plain);
  return out;
}

}  // namespace

std::string EncodeText(std::string_view text) {
  const std::size_t full_groups = text.size() / kTextBytesPerGroup;
  const std::size_t tail = text.size() % kTextBytesPerGroup;
  std::string encoded((full_groups + (tail != 0)) * kSymbolsPerGroup, '\0');

  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  char* out = encoded.data();
  for (std::size_t g = 0; g < full_groups; ++g) {
    WriteSymbols(ShuffleGroup(in), out);
    in += kTextBytesPerGroup;
    out += kSymbolsPerGroup;
  }
  if (tail != 0) {
    unsigned char padded[kTextBytesPerGroup] = {};  // missing bytes count as 0
    std::memcpy(padded, in, tail);
    WriteSymbols(ShuffleGroup(padded), out);
  }
  return encoded;
}

std::string DecodeText(std::string_view encoded) {
  const std::size_t full_groups = encoded.size() / kSymbolsPerGroup;
  const std::size_t tail = encoded.size() % kSymbolsPerGroup;
  std::string text((full_groups + (tail != 0)) * kTextBytesPerGroup, '\0');

  const auto* in = reinterpret_cast<const unsigned char*>(encoded.data());
  char* out = text.data();
  for (std::size_t g = 0; g < full_groups; ++g) {
    out = EmitPlainBytes(PlainWordOfFullGroup(in), out);
    in += kSymbolsPerGroup;
  }
  if (tail != 0) out = EmitPlainBytes(PlainWordOfShortGroup(in, tail), out);

  text.resize(static_cast<std::size_t>(out - text.data()));
  return text;
}

}  // namespace parlivo
