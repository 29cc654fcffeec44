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
    bool accepted = false;
    for (size_t pos = 0; pos < in->size; pos += in->slice) {
        const size_t n = in->size - pos < in->slice ? in->size - pos : in->slice;
        accepted = kvat_feed(in->handle, in->data + pos, static_cast<uint32_t>(n)) != 0 || accepted;
    }
    // Bytes that made no frame would only make the command sit out its time-out: report the
    // write as failed instead, so no input waits.
    return accepted ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    Input in{data + 1, size - 1, static_cast<size_t>((mode >> 2) % 64) + 1, nullptr};
    in.handle = kvat_create(mode & 1, answer, nullptr, &in);
    // A command whose answer is fed from inside the write callback: the engine looks at what
    // was fed once, before its first sleep.
    kvat_target_erase(in.handle, 1);
    // A plain feed of the same bytes outside any command.
    kvat_feed(in.handle, in.data, static_cast<uint32_t>(in.size));
    kvat_destroy(in.handle);
    return 0;
}
