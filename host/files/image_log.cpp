#include "host/files/image_log.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace kelvra::files {

void log_printf(std::ostream *out, const char *format, ...) {
    if (out == nullptr) return;
    char small[256];
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(length) < sizeof small) {
        out->write(small, length);
    } else {
        // Only paths make a line this long.
        std::vector<char> big(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(big.data(), big.size(), format, again);
        out->write(big.data(), length);
    }
    va_end(again);
}

}  // namespace kelvra::files
