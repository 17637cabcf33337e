// Reading the user name and room strings of a registration.

#include "transport/registration_strings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/exception.h"

namespace parlivo {
namespace {

std::string Int32(std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  return {static_cast<char>(u), static_cast<char>(u >> 8), static_cast<char>(u >> 16), static_cast<char>(u >> 24)};
}

struct StringCase {
  const char* name;
  std::string bytes;
  std::string expected;   // the text read
  std::size_t consumed;   // bytes read
};

TEST(RegistrationStrings, ReadsEveryForm) {
  const std::vector<StringCase> cases = {
      {"short", "\x06\x03" "AnnX", "Ann", 5},
      {"short, empty", std::string("\x06\x00", 2) + "X", "", 2},
      {"long", "\x0C" + Int32(3) + "BobX", "Bob", 8},
      {"long, negative length", "\x0C" + Int32(-7) + "X", "", 5},
      {"utf-16", "\x12" + Int32(3) + std::string("Z\0o\0\xEB\0", 6), "Zo\xEB", 11},
      {"utf-16, not in the code page", "\x12" + Int32(1) + std::string("\x2D\x4E", 2), "?", 7},
      {"utf-8", "\x14" + Int32(4) + "Zo\xC3\xAB", "Zo\xEB", 9},
      {"zero bytes kept", std::string("\x06\x03" "a\0b", 5), std::string("a\0b", 3), 5},
  };
  for (const StringCase& c : cases) {
    SCOPED_TRACE(c.name);
    ByteStream data(c.bytes);
    EXPECT_EQ(ReadRegistrationString(data), c.expected);
    EXPECT_EQ(data.position(), c.consumed);
  }
}

TEST(RegistrationStrings, FailsWithTheReadersMessages) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\x07\x03" "Ann", "Invalid property value"},
      {"", "Stream read error"},
      {"\x06", "Stream read error"},
      {"\x06\x05" "Ann", "Stream read error"},
      {"\x0C\x03\x00", "Stream read error"},
      {"\x0C" + Int32(0x7FFFFFFF) + "x", "Stream read error"},
      {"\x12" + Int32(2) + "abc", "Stream read error"},
  };
  for (const auto& [bytes, message] : cases) {
    ByteStream data(bytes);
    try {
      ReadRegistrationString(data);
      ADD_FAILURE() << "no error for " << ::testing::PrintToString(bytes);
    } catch (const EReadError& error) {
      EXPECT_EQ(error.what(), message);
    }
  }
}

}  // namespace
}  // namespace parlivo
