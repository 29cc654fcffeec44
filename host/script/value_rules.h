// How an option's value text becomes a record field. None of the rules fails loudly: a value
// that cannot be read becomes 0 (numbers) or -100 (words), and the row checks catch the rest.
#pragma once

#include <cstdint>
#include <string_view>

namespace kelvra::script {

// Number rule: base 16 when the text holds "0x"/"0X" anywhere, "all" is 0xFFFFFFFF, else base
// 10; C-library rules (leading white space, sign, digits up to the first other character).
// No digit, or a magnitude above 0xFFFFFFFF, gives 0; a leading '-' negates modulo 2^32.
std::uint32_t ParseNumber(std::string_view value);

// Word rule: quotes removed, then "true"/"uarttousb" give 1, "false"/"usbtouart" give 0,
// anything else -100. Case-sensitive.
std::int32_t ParseWord(std::string_view value);

// True when the text starts (after blanks, 0x20 only) with a signed decimal integer that fits
// into 32 bits; what follows the digits does not matter.
bool IsDecimalInt32(std::string_view value);

}  // namespace kelvra::script
