// The library's receive path and command completion with arbitrary answer bytes: the first
// byte picks the link and the feed slicing, the rest is what the "writer" sends back.
#include "kelvra_at.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

struct Input {
    const uint8_t *data;
    size_t size;
    size_t slice;
    kvat_handle *handle;
};

int answer(void *user, const uint8_t *, uint32_t, uint32_t) {
    auto *in = static_cast<Input *>(user);
    for (size_t pos = 0; pos < in->size; pos += in->slice) {
        const size_t n = in->size - pos < in->slice ? in->size - pos : in->slice;
        kvat_feed(in->handle, in->data + pos, static_cast<uint32_t>(n));
    }
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    Input in{data + 1, size - 1, static_cast<size_t>((mode >> 2) % 64) + 1, nullptr};
    in.handle = kvat_create(mode & 1, answer, nullptr, &in);
    // A command whose answer is fed from inside the write callback; a time-out of 1 ms lets
    // the engine look at what was fed exactly once, so no input makes the run wait.
    kvat_target_erase(in.handle, 1);
    // A plain feed of the same bytes outside any command.
    kvat_feed(in.handle, in.data, static_cast<uint32_t>(in.size));
    kvat_destroy(in.handle);
    return 0;
}
