// Transactions per second of the library, with the answer fed from inside the write callback
// (plain and encrypted) and from a second thread, and bytes per second of 256-byte reads,
// each beside the floor that a 1 ms sleep-and-poll loop allows on this machine; then the AES
// frame cipher alone on every path this machine can run. The library takes the processor's
// AES instructions where it has them; run with KVAT_AES=portable to see it on the portable path.
#include "kelvra_at.h"

#include "core/aes.h"
#include "core/crc32.h"
#include "core/kelvra_at_api.h"
#include "core/kelvra_at_port.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kKey[16] = {0x5c, 0x2e, 0x9a, 0x17, 0xb0, 0x4d, 0x83, 0xf6,
                              0xe9, 0x1a, 0x27, 0xc0, 0x4b, 0x6d, 0x58, 0xe3};
constexpr uint8_t kIv[16] = {0xa4, 0xf0, 0x13, 0x7b, 0xe9, 0x5c, 0x26, 0xd8,
                             0x01, 0x7e, 0x4b, 0xc9, 0x3a, 0x58, 0xd2, 0x1f};

// The writer's side of the link, with its key expanded once like the library's.
void cbc(uint8_t *p, size_t n, bool encrypt) {
    static const AES_ctx ctx = [] {
        AES_ctx c;
        AES_init_ctx_iv(&c, kKey, kIv);
        return c;
    }();
    uint8_t iv[AES_BLOCKLEN];
    std::memcpy(iv, ctx.Iv, sizeof iv);
    encrypt ? AES_CBC_encrypt_iv(&ctx, iv, p, n) : AES_CBC_decrypt_iv(&ctx, iv, p, n);
}

// The writer's answer to a request: a memory block for reads, ACK for everything else.
Bytes answer(const uint8_t *request, uint32_t length, bool encrypted) {
    Bytes plain(request, request + length);
    if (encrypted) cbc(plain.data() + 8, length - 12, false);
    const uint32_t code = at_get_le32(&plain[8]);
    Bytes payload;
    uint32_t reply = AT_STATUS_ACK;
    if (code == AT_CODE_TARGET_READ) {
        reply = AT_CODE_TARGET_MEMORY;
        payload.resize(KVAT_MEMORY_BLOCK_SIZE, 0xA5);
        std::memcpy(payload.data(), &plain[16], 8);
    }
    uint32_t body = static_cast<uint32_t>(payload.size()) + 8;
    if (encrypted) body = (body + 15) / 16 * 16;
    Bytes f(body + 12, 0);
    at_put_le32(&f[0], AT_MAGIC);
    at_put_le32(&f[4], body + 12);
    at_put_le32(&f[8], reply);
    at_put_le32(&f[12], static_cast<uint32_t>(payload.size()));
    std::memcpy(&f[16], payload.data(), payload.size());
    const uint32_t crc = crc32(f.data(), static_cast<int32_t>(body + 8));
    if (encrypted) cbc(&f[8], body, true);
    at_put_le32(&f[body + 8], crc);
    return f;
}

struct Inline {
    kvat_handle *handle = nullptr;
    bool encrypted = false;
    static int write(void *user, const uint8_t *frame, uint32_t length, uint32_t) {
        auto *self = static_cast<Inline *>(user);
        const Bytes a = answer(frame, length, self->encrypted);
        kvat_feed(self->handle, a.data(), static_cast<uint32_t>(a.size()));
        return 1;
    }
};

struct Threaded {
    kvat_handle *handle = nullptr;
    std::mutex mutex;
    std::condition_variable cv;
    Bytes pending;
    bool has = false, stop = false;
    std::thread thread;

    static int write(void *user, const uint8_t *frame, uint32_t length, uint32_t) {
        auto *self = static_cast<Threaded *>(user);
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->pending.assign(frame, frame + length);
            self->has = true;
        }
        self->cv.notify_one();
        return 1;
    }
    void run() {
        for (;;) {
            Bytes request;
            {
                std::unique_lock<std::mutex> lock(mutex);
                cv.wait(lock, [this] { return has || stop; });
                if (stop) return;
                request.swap(pending);
                has = false;
            }
            const Bytes a = answer(request.data(), static_cast<uint32_t>(request.size()), false);
            kvat_feed(handle, a.data(), static_cast<uint32_t>(a.size()));
        }
    }
};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Megabytes (10^6) per second of CBC over buffers of `size` bytes in place, each from the
// stored IV as the library's frames are, for at least 0.3 s.
double cipher_rate(const AES_backend *b, bool encrypt, size_t size) {
    AES_ctx ctx;
    AES_init_ctx_iv(&ctx, kKey, kIv);
    Bytes buf(size, 0x5A);
    const size_t blocks = size / AES_BLOCKLEN;
    size_t done = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    do {
        for (int i = 0; i < 64; ++i) {
            uint8_t iv[AES_BLOCKLEN];
            std::memcpy(iv, ctx.Iv, sizeof iv);
            if (encrypt) {
                b->cbc_encrypt(ctx.RoundKey, iv, buf.data(), blocks);
            } else {
                b->cbc_decrypt(ctx.InvRoundKey, iv, buf.data(), blocks);
            }
            done += size;
        }
        elapsed = seconds_since(start);
    } while (elapsed < 0.3);
    return static_cast<double>(done) / elapsed / 1e6;
}

template <typename Fn>
double rate(int count, Fn &&fn) {
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (!fn(i)) {
            std::fprintf(stderr, "transaction failed\n");
            return 0;
        }
    }
    return count / seconds_since(start);
}

}  // namespace

int main() {
    // The floor: one transaction per 1 ms sleep of this machine.
    const int sleeps = 500;
    const auto start = Clock::now();
    for (int i = 0; i < sleeps; ++i) ATSleep(1);
    const double floor_tps = sleeps / seconds_since(start);

    std::printf("AES path of the library: %s%s\n", AES_backend_active()->name,
                AES_backend_hardware() == nullptr ? " (this processor has no AES instructions)"
                                                  : "");
    std::printf("%-44s %14s %14s\n", "case", "per second", "x 1 ms floor");
    auto row = [&](const char *name, double value, double floor) {
        std::printf("%-44s %14.0f %14.1f\n", name, value, value / floor);
    };
    row("1 ms sleep-and-poll floor (transactions)", floor_tps, floor_tps);

    double transactions[2] = {}, read_bytes[2] = {};
    for (bool encrypted : {false, true}) {
        Inline link;
        link.encrypted = encrypted;
        link.handle = kvat_create(encrypted, &Inline::write, nullptr, &link);
        transactions[encrypted] =
            rate(200000, [&](int) { return kvat_target_connect(link.handle) == 1; });
        row(encrypted ? "fed in callback, encrypted (transactions)"
                      : "fed in callback, plain (transactions)",
            transactions[encrypted], floor_tps);
        kvat_memory_block block;
        const double reads = rate(100000, [&](int i) {
            return kvat_target_read(link.handle, static_cast<uint32_t>(i) * 256, 256, &block) == 1;
        });
        row(encrypted ? "256-byte reads in callback, encrypted (bytes)"
                      : "256-byte reads in callback, plain (bytes)",
            reads * 256, floor_tps * 256);
        read_bytes[encrypted] = reads * 256;
        kvat_destroy(link.handle);
    }
    std::printf("%-44s %13.1f %%\n", "encrypted / plain, transactions",
                100 * transactions[1] / transactions[0]);
    std::printf("%-44s %13.1f %%\n", "encrypted / plain, 256-byte reads",
                100 * read_bytes[1] / read_bytes[0]);

    Threaded t;
    t.handle = kvat_create(0, &Threaded::write, nullptr, &t);
    t.thread = std::thread([&t] { t.run(); });
    // Two threads hand each transaction back and forth, so the figures swing with how the
    // scheduler places them: the median of seven rounds, with the slowest and fastest.
    auto median_of = [](auto &&round) {
        std::vector<double> rates;
        for (int i = 0; i < 7; ++i) rates.push_back(round());
        std::sort(rates.begin(), rates.end());
        return std::array<double, 3>{rates[3], rates.front(), rates.back()};
    };
    const auto connects = median_of([&] {
        return rate(2000, [&](int) { return kvat_target_connect(t.handle) == 1; });
    });
    row("fed from a second thread (transactions)", connects[0], floor_tps);
    std::printf("%-44s %14s %6.1f..%.1f\n", "  slowest..fastest round", "", connects[1] / floor_tps,
                connects[2] / floor_tps);
    kvat_memory_block block;
    const auto reads = median_of([&] {
        return rate(2000, [&](int i) {
            return kvat_target_read(t.handle, static_cast<uint32_t>(i) * 256, 256, &block) == 1;
        });
    });
    row("256-byte reads, second thread (bytes)", reads[0] * 256, floor_tps * 256);
    std::printf("%-44s %14s %6.1f..%.1f\n", "  slowest..fastest round", "", reads[1] / floor_tps,
                reads[2] / floor_tps);
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        t.stop = true;
    }
    t.cv.notify_one();
    t.thread.join();
    kvat_destroy(t.handle);

    // The answer to a 256-byte read has a body of 272 bytes (17 blocks); the request of one
    // has 16. CBC encryption is one chain; decryption can work on several blocks at once.
    std::printf("\n%-44s %14s %14s\n", "AES-128-CBC alone", "encrypt MB/s", "decrypt MB/s");
    for (const AES_backend *b : {AES_backend_hardware(), AES_backend_portable()}) {
        if (b == nullptr) continue;
        for (size_t size : {size_t{16}, size_t{272}, size_t{65536}}) {
            char name[64];
            std::snprintf(name, sizeof name, "%s, %zu-byte buffers", b->name, size);
            std::printf("%-44s %14.1f %14.1f\n", name, cipher_rate(b, true, size),
                        cipher_rate(b, false, size));
        }
    }
    return 0;
}
