#pragma once
// Text to a 32-bit integer, the one rule shared by the port field of the
// window and the integers read from the settings file.
//
// Accepted: any number of leading spaces (so a value typed or pasted with a
// space in front still reads), an optional '+' or '-', then either decimal
// digits, or hexadecimal digits (either letter case) after a "$", "0x" or
// "0X" prefix; a sign may stand before the hexadecimal prefix ("-$10" is
// -16). Nothing may follow the digits, not even a blank, and tabs are not
// skipped. The signed value must fit in std::int32_t: hexadecimal is read
// as a magnitude like decimal, so "$80000000" is out of range and
// "-$80000000" is the minimum.

#include <cstdint>
#include <string_view>

namespace parlivo {

// True and `value` set when `text` follows the rule above; otherwise false
// and `value` unchanged.
bool TryStrToInt(std::string_view text, std::int32_t& value);

}  // namespace parlivo
