// The virtual writer with arbitrary request bytes, plain and encrypted.
#include "sim/virtual_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    kelvra::sim::WriterSettings settings;
    settings.encrypted = (data[0] & 1) != 0;
    settings.flash_size = 4096;
    settings.sector_size = 512;
    kelvra::sim::VirtualWriter writer(settings);
    // Requests often need a connected target; a first valid connect gets there.
    const auto connect = writer.make_frame(AT_CODE_TARGET_CONNECT, {0, 0, 0, 0});
    writer.receive(connect.data(), connect.size());
    writer.receive(data + 1, size - 1);
    writer.drop_partial();
    return 0;
}
