#include "encoding/text_codec.h"

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace parlivo {
namespace {

// Slow reference codec, written directly from the encoding rules one bit at
// a time; the production code is table-driven and must agree with it.
std::uint32_t RefShuffle(std::uint32_t plain) {
  std::uint32_t shuffled = 0;
  for (unsigned d = 0; d < 32; ++d) shuffled |= ((plain >> ((d + 1) * 11 % 32)) & 1u) << d;
  return shuffled;
}

std::uint32_t RefUnshuffle(std::uint32_t shuffled) {
  std::uint32_t plain = 0;
  for (unsigned s = 0; s < 32; ++s) plain |= ((shuffled >> ((3 * s + 31) % 32)) & 1u) << s;
  return plain;
}

std::string RefEncode(std::string_view text) {
  std::string out;
  for (std::size_t g = 0; g < text.size(); g += 4) {
    std::uint32_t plain = 0;
    for (std::size_t k = 0; k < 4 && g + k < text.size(); ++k)
      plain |= std::uint32_t{static_cast<unsigned char>(text[g + k])} << (8 * k);
    const std::uint32_t shuffled = RefShuffle(plain);
    for (unsigned j = 0; j < 6; ++j) out += kSymbolAlphabet[(shuffled >> (6 * j)) & 63];
  }
  return out;
}

std::string RefDecode(std::string_view encoded) {
  std::string out;
  for (std::size_t g = 0; g < encoded.size(); g += 6) {
    std::uint32_t shuffled = 0;
    for (std::size_t i = 0; i < 6 && g + i < encoded.size(); ++i) {
      const std::size_t pos = kSymbolAlphabet.find(encoded[g + i]);
      std::uint32_t v = pos == std::string_view::npos ? 255 : static_cast<std::uint32_t>(pos);
      if (i == 5) v &= 3;
      shuffled |= v << (6 * i);
    }
    const std::uint32_t plain = RefUnshuffle(shuffled);
    for (unsigned k = 0; k < 4 && ((plain >> (8 * k)) & 0xFF) != 0; ++k)
      out += static_cast<char>(plain >> (8 * k));
  }
  return out;
}

std::string RandomBytes(std::mt19937& rng, std::size_t n, int lowest) {
  std::uniform_int_distribution<int> byte(lowest, 255);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(byte(rng));
  return s;
}

// Checks every contract of an encoding of `text` (which has no zero bytes).
void ExpectWellFormedEncoding(const std::string& text) {
  const std::string encoded = EncodeText(text);
  ASSERT_EQ(encoded.size(), 6 * ((text.size() + 3) / 4)) << "length " << text.size();
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    const std::string_view allowed = i % 6 == 5 ? "./01" : kSymbolAlphabet;
    ASSERT_NE(allowed.find(encoded[i]), std::string_view::npos) << "symbol " << i;
  }
  EXPECT_EQ(encoded, RefEncode(text));
  EXPECT_EQ(DecodeText(encoded), text);
}

TEST(TextCodec, WorkedExample) {
  EXPECT_EQ(EncodeText("abc"), "07g/21");
  EXPECT_EQ(DecodeText("07g/21"), "abc");
  const int fields[] = {2, 9, 44, 1, 4, 3};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(kSymbolAlphabet[fields[i]], "07g/21"[i]);
}

TEST(TextCodec, EncodedShapeForShortAndLongTexts) {
  std::mt19937 rng(7);
  for (std::size_t n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 4099}) ExpectWellFormedEncoding(RandomBytes(rng, n, 1));
}

TEST(TextCodec, RandomTextsRoundTrip) {
  std::mt19937 rng(12345);
  for (std::size_t n = 0; n < 300; ++n) {
    ExpectWellFormedEncoding(RandomBytes(rng, n, 1));
    ExpectWellFormedEncoding(RandomBytes(rng, n, 0x80));  // high bytes only
  }
}

TEST(TextCodec, DecodeMatchesReferenceOnArbitraryBytes) {
  std::mt19937 rng(2024);
  std::uniform_int_distribution<int> pick(0, 63);
  for (int round = 0; round < 2000; ++round) {
    std::string input = RandomBytes(rng, static_cast<std::size_t>(round % 40), 0);
    if (round % 2 == 0)  // mostly valid symbols with a few strays
      for (char& c : input)
        if (pick(rng) != 0) c = kSymbolAlphabet[pick(rng)];
    const std::string decoded = DecodeText(input);
    ASSERT_EQ(decoded, RefDecode(input)) << "round " << round;
    ASSERT_LE(decoded.size(), 4 * ((input.size() + 5) / 6));
    // A decoded text holds no zero byte and nothing is written past its end
    // (it is handed on as a C string).
    ASSERT_EQ(std::strlen(decoded.c_str()), decoded.size()) << "round " << round;
  }
}

TEST(TextCodec, DecodeEdgeCases) {
  const std::string zero_mid = EncodeText(std::string("ab\0d", 4)) + EncodeText("wxyz");
  const std::string zero_first = EncodeText(std::string("\0bcd", 4)) + EncodeText("ok");
  struct Case {
    const char* what;
    std::string input;
    std::string expected;
  } cases[] = {
      {"zero byte ends only its group", zero_mid, "abwxyz"},
      {"leading zero empties its group", zero_first, "ok"},
      {"short group lacks bits 30-31", "07g/2", "`bC"},
      {"full group then short group", "07g/2107g/2", "abc`bC"},
      {"stray sixth symbol counts as 3", "07g/2!", "abc"},
      {"sixth symbol keeps low two bits", "07g/2z", "abc"},  // 'z' = 63 -> 3
      {"sixth symbol 'Z' acts as '/'", "07g/2Z", DecodeText("07g/2/")},  // 37 -> 1
      {"stray at 0 spills into field 1", "!7g/21", DecodeText("z9g/21")},  // 9 | 3 = 11
      {"stray at 4 fills bits 24-31", "07g/!.", DecodeText("07g/z1")},
      {"stray bytes set every bit", "\xff\xff\xff\xff\xff\xff", "\xff\xff\xff\xff"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeText(c.input), c.expected) << c.what;
    EXPECT_EQ(DecodeText(c.input), RefDecode(c.input)) << c.what;
  }
}

}  // namespace
}  // namespace parlivo
