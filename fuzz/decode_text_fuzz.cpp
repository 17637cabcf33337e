// Fuzzes the chat text codec: decoding any bytes must stay in bounds, and
// text without zero bytes must survive an encode/decode round trip.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "encoding/text_codec.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

void CheckDecodeAnything(std::string_view input) {
  const std::string decoded = parlivo::DecodeText(input);
  const std::size_t groups = (input.size() + 5) / 6;
  Require(decoded.size() <= 4 * groups);
}

void CheckRoundTrip(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
  const std::string encoded = parlivo::EncodeText(text);
  Require(encoded.size() == 6 * ((text.size() + 3) / 4));
  for (char c : encoded) Require(parlivo::kSymbolAlphabet.find(c) != std::string_view::npos);
  Require(parlivo::DecodeText(encoded) == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  CheckDecodeAnything(input);
  CheckRoundTrip(std::string(input));
  return 0;
}
