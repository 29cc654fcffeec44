#include "host/script/value_rules.h"

#include "host/model/cmd_param.h"

#include <algorithm>
#include <optional>
#include <string>

namespace kelvra::script {
namespace {

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::optional<unsigned> digit_value(char c, unsigned base) {
    unsigned digit = base;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
    if (digit >= base) return std::nullopt;
    return digit;
}

struct Scanned {
    bool negative = false;
    bool any_digit = false;
    bool overflow = false;
    std::uint64_t magnitude = 0;
};

// Reads like strtoul: white space, sign, optional 0x prefix in base 16, digits. The magnitude
// saturates above `limit` so no length of input can overflow it.
Scanned scan(std::string_view text, unsigned base, std::uint64_t limit) {
    Scanned out;
    std::size_t i = 0;
    while (i < text.size() && is_c_space(text[i])) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) out.negative = text[i++] == '-';
    const bool has_prefix = base == 16 && i + 2 < text.size() && text[i] == '0' &&
                            (text[i + 1] == 'x' || text[i + 1] == 'X') &&
                            digit_value(text[i + 2], 16).has_value();
    if (has_prefix) i += 2;
    for (; i < text.size(); ++i) {
        const auto digit = digit_value(text[i], base);
        if (!digit) break;
        out.any_digit = true;
        out.magnitude = out.magnitude * base + *digit;
        if (out.magnitude > limit) {
            out.overflow = true;
            out.magnitude = limit + 1;
        }
    }
    return out;
}

std::uint32_t read_unsigned(std::string_view text, unsigned base) {
    const Scanned scanned = scan(text, base, 0xFFFFFFFFu);
    if (!scanned.any_digit || scanned.overflow) return 0;
    const auto value = static_cast<std::uint32_t>(scanned.magnitude);
    return scanned.negative ? 0u - value : value;
}

}  // namespace

std::uint32_t ParseNumber(std::string_view value) {
    if (value.find("0x") != std::string_view::npos || value.find("0X") != std::string_view::npos)
        return read_unsigned(value, 16);
    if (value == "all") return 0xFFFFFFFFu;
    return read_unsigned(value, 10);
}

std::int32_t ParseWord(std::string_view value) {
    std::string word(value);
    word.erase(std::remove(word.begin(), word.end(), '"'), word.end());
    if (word == "true" || word == "uarttousb") return 1;
    if (word == "false" || word == "usbtouart") return 0;
    return kInvalidWord;
}

bool IsDecimalInt32(std::string_view value) {
    // Only blanks may lead here: a tab or line break before the number makes it no number.
    const auto first = value.find_first_not_of(' ');
    if (first == std::string_view::npos || is_c_space(value[first])) return false;
    const Scanned scanned = scan(value.substr(first), 10, 0x80000000u);
    if (!scanned.any_digit || scanned.overflow) return false;
    return scanned.negative || scanned.magnitude <= 0x7FFFFFFFu;
}

}  // namespace kelvra::script
