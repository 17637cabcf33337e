// Conversions between Unicode and the clients' 8-bit code page.

#include "encoding/codepage_1252.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace parlivo {
namespace {

TEST(Codepage1252, EveryByteSurvivesARoundTripThroughUtf8) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(Utf8ToWindows1252(Windows1252ToUtf8(all)), all);
  EXPECT_EQ(Windows1252ToUtf8("\x80\x9F\xE9"), "\u20AC\u0178\u00E9");
}

// The bytes 0x80 to 0x9F are the letters and signs users type (the euro,
// curly quotes, dashes): each must become its own character, as typed here.
TEST(Codepage1252, TheHighBytesAreTheCharactersUsersType) {
  std::string bytes;
  for (int b = 0x80; b <= 0x9F; ++b) bytes.push_back(static_cast<char>(b));
  EXPECT_EQ(Windows1252ToUtf8(bytes),
            "€\u0081‚ƒ„…†‡ˆ‰Š‹Œ\u008DŽ\u008F\u0090‘’“”•–—˜™š›œ\u009DžŸ");
}

TEST(Codepage1252, Utf8InputIncludingIllFormedSequences) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain", "plain"},
      {"Zo\u00EB \u20AC", "Zo\xEB \x80"},   // two- and three-byte characters
      {"\u4E2D", "?"},                      // not in the code page
      {"\U0001F600", "?"},                  // outside the basic plane
      {"a\x80z", "a?z"},                    // stray continuation byte
      {"a\xC3", "a?"},                      // truncated sequence
      {"\xC0\xAF", "??"},                   // overlong encoding of '/'
      {"\xED\xA0\x80", "???"},              // an encoded surrogate
      {"\xF4\x90\x80\x80", "????"},         // above U+10FFFF
  };
  for (const auto& [utf8, expected] : cases) EXPECT_EQ(Utf8ToWindows1252(utf8), expected) << utf8;
}

TEST(Codepage1252, Utf16InputIncludingIllFormedUnits) {
  const auto utf16 = [](std::u16string text) {
    std::string bytes;
    for (char16_t u : text) {
      bytes.push_back(static_cast<char>(u & 0xFF));
      bytes.push_back(static_cast<char>(u >> 8));
    }
    return bytes;
  };
  EXPECT_EQ(Utf16LeToWindows1252(utf16(u"Zo\u00EB\u20AC")), "Zo\xEB\x80");
  EXPECT_EQ(Utf16LeToWindows1252(utf16(u"a\U0001F600b")), "a?b");        // a pair is one character
  EXPECT_EQ(Utf16LeToWindows1252(utf16(u"\U0001F600b")), "?b");          // also as the first one
  EXPECT_EQ(Utf16LeToWindows1252(utf16(std::u16string{u'a', 0xD800, u'b'})), "a?b");  // unpaired
  EXPECT_EQ(Utf16LeToWindows1252(utf16(std::u16string{0xD800, 0xE9, 0xD800, 0xE000})), "?\xE9??");  // no low half after
  EXPECT_EQ(Utf16LeToWindows1252(utf16(u"ab") + "c"), "ab?");            // odd last byte
}

}  // namespace
}  // namespace parlivo
