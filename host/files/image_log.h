// Where an image load reports: per-line diagnostics and the reader's address summary. The
// engine never prints by itself; tools point these at stderr/stdout, the executor at nothing.
#pragma once

#include <ostream>

namespace kelvra::files {

struct image_log {
    std::ostream *diagnostics = nullptr;
    std::ostream *summary = nullptr;
};

// printf-style line into `out`; does nothing when `out` is null.
void log_printf(std::ostream *out, const char *format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kelvra::files
