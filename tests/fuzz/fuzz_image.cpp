// Firmware images of any content: the first byte picks the format and the block.
#include "host/files/code_file.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    static const char *kinds[] = {".hex", ".s19", ".bin"};
    const std::string path = "/tmp/kvat-fuzz-" + std::to_string(getpid()) + kinds[data[0] % 3];
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);
    std::ostringstream diagnostics, summary;
    try {
        // Only the selected block; "all" may legitimately need the whole 4 GiB span.
        kelvra::files::open_image(path, (data[0] >> 2) % 4, {&diagnostics, &summary});
    } catch (const std::out_of_range &) {
    }
    std::remove(path.c_str());
    return 0;
}
