#include "core/crc32.h"

#include <array>

namespace {

// Slicing-by-4 tables, built at compile time from the reflected polynomial.
constexpr std::array<std::array<uint32_t, 256>, 4> make_tables() {
    std::array<std::array<uint32_t, 256>, 4> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
        for (int s = 1; s < 4; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFFu];
    }
    return t;
}

constexpr auto kTables = make_tables();

}  // namespace

uint32_t crc32_update(uint32_t crc, const void *data, uint32_t length) {
    const auto *p = static_cast<const uint8_t *>(data);
    uint32_t c = ~crc;
    if (p == nullptr) return crc;
    while (length >= 4) {
        c ^= static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
             static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
        c = kTables[3][c & 0xFFu] ^ kTables[2][(c >> 8) & 0xFFu] ^ kTables[1][(c >> 16) & 0xFFu] ^
            kTables[0][c >> 24];
        p += 4;
        length -= 4;
    }
    while (length-- > 0) c = kTables[0][(c ^ *p++) & 0xFFu] ^ (c >> 8);
    return ~c;
}

uint32_t crc32(const void *data, int32_t length) {
    if (length <= 0) return 0;
    return crc32_update(0, data, static_cast<uint32_t>(length));
}
