#include "core/kelvra_at_utils.h"

#include <cstdio>

uint32_t utils_round_up(uint32_t value, uint32_t step) {
    if (step == 0 || value % step == 0) return value;
    return step * (value / step + 1);
}

void object_print(const void *data, size_t length, const char *name) {
    const auto *bytes = static_cast<const uint8_t *>(data);
    std::printf("%s$%s[%zu]:{", "[Debug]:", name != nullptr ? name : "", length);
    for (size_t i = 0; bytes != nullptr && i < length; ++i) std::printf("%s0x%02X,", "", bytes[i]);
    std::printf("%s}\r\n", "");
}
