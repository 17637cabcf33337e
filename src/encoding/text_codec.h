// Chat text encoding.
//
// Chat text travels between relays as printable symbols, so that any byte
// string survives transports that only carry plain printable characters.
// Every group of 4 text bytes becomes 6 symbols taken from kSymbolAlphabet.
//
// Contracts:
//  * EncodeText never fails. Its result has exactly 6 * ceil(n / 4) symbols
//    for n text bytes, all from kSymbolAlphabet; the sixth symbol of every
//    group is one of '.', '/', '0', '1'. Empty text gives an empty result.
//  * DecodeText never fails and accepts any bytes. It yields at most
//    4 * ceil(m / 6) bytes for m input bytes. A zero byte in a decoded group
//    ends that group (it and the group's later bytes are dropped); later
//    groups decode normally. Bytes outside the alphabet count as the value
//    255, and the sixth symbol of a group contributes only its low two bits.
//  * DecodeText(EncodeText(t)) == t for every text t without zero bytes.
//  * Both functions are pure and safe to call from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace parlivo {

// The 64 symbols, each standing for the value of its position (0..63).
// A compile-time constant, like the lookup tables built from it, so the
// codec is complete before the first packet is handled and needs no
// start-up initialisation.
inline constexpr std::string_view kSymbolAlphabet =
    "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
static_assert(kSymbolAlphabet.size() == 64);

inline constexpr std::size_t kTextBytesPerGroup = 4;
inline constexpr std::size_t kSymbolsPerGroup = 6;

// How many symbols EncodeText makes of `textBytes` bytes.
constexpr std::size_t EncodedLength(std::size_t textBytes) {
  return (textBytes + kTextBytesPerGroup - 1) / kTextBytesPerGroup * kSymbolsPerGroup;
}

// Encodes a byte string (bytes taken as unsigned) into alphabet symbols.
std::string EncodeText(std::string_view text);

// Decodes symbols back into text bytes; see the contracts above.
std::string DecodeText(std::string_view encoded);

}  // namespace parlivo
