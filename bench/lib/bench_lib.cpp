// Transactions per second of the library, with the answer fed from inside the write callback
// (plain and encrypted) and from a second thread, and bytes per second of 256-byte reads,
// each beside the floor that a 1 ms sleep-and-poll loop allows on this machine.
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

void cbc(uint8_t *p, size_t n, bool encrypt) {
    AES_ctx ctx;
    AES_init_ctx_iv(&ctx, kKey, kIv);
    encrypt ? AES_CBC_encrypt_buffer(&ctx, p, n) : AES_CBC_decrypt_buffer(&ctx, p, n);
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

    std::printf("%-44s %14s %14s\n", "case", "per second", "x 1 ms floor");
    auto row = [&](const char *name, double value, double floor) {
        std::printf("%-44s %14.0f %14.1f\n", name, value, value / floor);
    };
    row("1 ms sleep-and-poll floor (transactions)", floor_tps, floor_tps);

    for (bool encrypted : {false, true}) {
        Inline link;
        link.encrypted = encrypted;
        link.handle = kvat_create(encrypted, &Inline::write, nullptr, &link);
        row(encrypted ? "fed in callback, encrypted (transactions)"
                      : "fed in callback, plain (transactions)",
            rate(200000, [&](int) { return kvat_target_connect(link.handle) == 1; }), floor_tps);
        kvat_memory_block block;
        const double reads = rate(100000, [&](int i) {
            return kvat_target_read(link.handle, static_cast<uint32_t>(i) * 256, 256, &block) == 1;
        });
        row(encrypted ? "256-byte reads in callback, encrypted (bytes)"
                      : "256-byte reads in callback, plain (bytes)",
            reads * 256, floor_tps * 256);
        kvat_destroy(link.handle);
    }

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
    return 0;
}
