// Writer configuration documents of any shape.
#include "host/files/json_file.h"
#include "host/files/writer_documents.h"

#include <cstdio>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = "/tmp/kvat-fuzz-" + std::to_string(getpid()) + ".json";
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    kelvra::files::json_file file(path, kelvra::files::json_file::mode::read);
    kvat_writer_config config{};
    if (file.is_open()) kelvra::files::read_writer_config(file, config);
    std::remove(path.c_str());
    return 0;
}
