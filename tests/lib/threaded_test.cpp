// A command thread and a feeding thread per handle, as a host with a reader thread runs them.
// Run under ThreadSanitizer in CI.
#include "writer_double.h"

#include "core/kelvra_at_api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

using namespace kvat_test;

namespace {

// A writer on its own thread: the write callback queues the request; the writer thread
// decodes it, answers, and feeds the answer in random slices, as a serial reader would.
class ThreadedWriter {
public:
    explicit ThreadedWriter(bool encrypted, unsigned seed) : encrypted_(encrypted), rng_(seed) {
        handle = kvat_create(encrypted ? 1 : 0, &ThreadedWriter::write_cb, nullptr, this);
        thread_ = std::thread([this] { run(); });
    }
    ~ThreadedWriter() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
        kvat_destroy(handle);
    }

    kvat_handle *handle;

private:
    static int write_cb(void *user, const uint8_t *frame, uint32_t length, uint32_t) {
        auto *self = static_cast<ThreadedWriter *>(user);
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->queue_.emplace_back(frame, frame + length);
        }
        self->cv_.notify_all();
        return 1;
    }

    Bytes answer(const Bytes &request) {
        Bytes plain = request;
        if (encrypted_) cipher_.apply(plain.data() + 8, plain.size() - 12, false);
        const uint32_t code = le32(&plain[8]);
        const Cipher *c = encrypted_ ? &cipher_ : nullptr;
        if (code == AT_CODE_TARGET_READ) {
            // Memory that reads back as (address + i) & 0xFF.
            const uint32_t address = le32(&plain[16]);
            const uint32_t length = le32(&plain[20]);
            Bytes block;
            put32(block, address);
            put32(block, length);
            for (uint32_t i = 0; i < 256; ++i) block.push_back(static_cast<uint8_t>(address + i));
            return make_frame(AT_CODE_TARGET_MEMORY, block, c);
        }
        if (code == AT_CODE_TARGET_RESET && le32(&plain[16]) > 7) {
            Bytes p;
            put32(p, KVAT_ERR_CONFIG);
            return make_frame(AT_STATUS_NACK, p, c);
        }
        return make_frame(AT_STATUS_ACK, {}, c);
    }

    void run() {
        for (;;) {
            Bytes request;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
                if (stop_) return;
                request = std::move(queue_.front());
                queue_.pop_front();
            }
            const Bytes reply = answer(request);
            size_t pos = 0;
            while (pos < reply.size()) {
                const size_t n =
                    std::min(reply.size() - pos, std::uniform_int_distribution<size_t>(1, 64)(rng_));
                kvat_feed(handle, reply.data() + pos, static_cast<uint32_t>(n));
                pos += n;
            }
        }
    }

    bool encrypted_;
    Cipher cipher_;
    std::mt19937 rng_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Bytes> queue_;
    bool stop_ = false;
    std::thread thread_;
};

void run_session(bool encrypted, unsigned seed, int rounds) {
    ThreadedWriter writer(encrypted, seed);
    for (int i = 0; i < rounds; ++i) {
        const uint32_t address = 0x08000000u + static_cast<uint32_t>(i) * 256u;
        kvat_memory_block block;
        ASSERT_EQ(kvat_target_read(writer.handle, address, 256, &block), 1) << i;
        ASSERT_EQ(block.address, address);
        for (uint32_t k = 0; k < 256; ++k) ASSERT_EQ(block.data[k], static_cast<uint8_t>(address + k));
        ASSERT_EQ(kvat_target_connect(writer.handle), 1);
        ASSERT_EQ(kvat_target_reset(writer.handle, 9), 0);
        ASSERT_EQ(kvat_last_error(writer.handle), static_cast<uint32_t>(KVAT_ERR_CONFIG));
    }
}

}  // namespace

TEST(Threaded, CommandThreadAndFeedingThread) { run_session(false, 1, 200); }

TEST(Threaded, IndependentHandlesOnSeveralThreads) {
    std::thread a([] { run_session(true, 2, 100); });
    std::thread b([] { run_session(false, 3, 100); });
    std::thread c([] { run_session(true, 4, 100); });
    a.join();
    b.join();
    c.join();
}

// Progress callbacks are per thread: concurrent loads never see each other's callback.
TEST(Threaded, ProgressCallbacksStayWithTheirThread) {
    auto load = [](uint32_t size, std::vector<uint32_t> *seen) {
        WriterDouble w(false);
        Bytes image(size, 0x33);
        auto cb = [](void *user, uint32_t total, uint32_t done) {
            auto *v = static_cast<std::vector<uint32_t> *>(user);
            v->push_back(total);
            v->push_back(done);
        };
        for (int i = 0; i < 20; ++i) {
            ASSERT_EQ(kvat_project_load(w.handle, "p.pkg", "", image.data(), size, cb, seen), 1);
        }
    };
    std::vector<uint32_t> seen_a, seen_b;
    std::thread a(load, 1000u, &seen_a);
    std::thread b(load, 300u, &seen_b);
    a.join();
    b.join();
    ASSERT_EQ(seen_a.size(), 20u * 4 * 2);
    ASSERT_EQ(seen_b.size(), 20u * 2 * 2);
    for (size_t i = 0; i < seen_a.size(); i += 2) EXPECT_EQ(seen_a[i], 1000u);
    for (size_t i = 0; i < seen_b.size(); i += 2) EXPECT_EQ(seen_b[i], 300u);
}

namespace {

// A reader loop that never rests: it feeds each queued answer in random slices and, between
// answers, keeps calling kvat_feed with nothing (as a poll-driven reader may). Every feed that
// overlaps the next request's reset is a chance to hand back the previous answer.
class BusyFeeder {
public:
    BusyFeeder() {
        handle = kvat_create(0, &BusyFeeder::write_cb, nullptr, this);
        thread_ = std::thread([this] { run(); });
    }
    ~BusyFeeder() {
        stop_.store(true);
        thread_.join();
        kvat_destroy(handle);
    }
    kvat_handle *handle;

private:
    static int write_cb(void *user, const uint8_t *frame, uint32_t length, uint32_t) {
        auto *self = static_cast<BusyFeeder *>(user);
        const uint32_t address = le32(frame + 16);
        Bytes block;
        put32(block, address);
        put32(block, 256);
        for (uint32_t i = 0; i < 256; ++i) block.push_back(static_cast<uint8_t>(address + i));
        (void)length;
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->queue_.push_back(make_frame(AT_CODE_TARGET_MEMORY, block, nullptr));
        return 1;
    }
    void run() {
        std::mt19937 rng(7);
        const uint8_t none = 0;
        while (!stop_.load(std::memory_order_relaxed)) {
            Bytes reply;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!queue_.empty()) {
                    reply = std::move(queue_.front());
                    queue_.pop_front();
                }
            }
            size_t pos = 0;
            while (pos < reply.size()) {
                const size_t n = std::min(reply.size() - pos,
                                          std::uniform_int_distribution<size_t>(1, 300)(rng));
                kvat_feed(handle, reply.data() + pos, static_cast<uint32_t>(n));
                kvat_feed(handle, &none, 0);
                pos += n;
            }
            kvat_feed(handle, &none, 0);
        }
    }
    std::mutex mutex_;
    std::deque<Bytes> queue_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

// A command must never accept the answer that belongs to the command before it.
TEST(Threaded, NoCommandTakesThePreviousAnswer) {
    BusyFeeder feeder;
    int stale = 0, failed = 0;
    for (uint32_t i = 0; i < 3000; ++i) {
        const uint32_t address = 0x20000000u + i * 256u;
        kvat_memory_block block;
        if (kvat_target_read(feeder.handle, address, 256, &block) != 1) {
            ++failed;
            continue;
        }
        if (block.address != address) ++stale;
    }
    EXPECT_EQ(stale, 0);
    EXPECT_EQ(failed, 0);
}

namespace {

// The program's shape: each command clears the whole protocol object while the channel's
// event thread keeps appending.
struct CoreLink {
    kelvra_at_object object{};
    std::mutex mutex;
    std::deque<Bytes> queue;
    std::atomic<bool> stop{false};
};
CoreLink *g_core_link = nullptr;

bool core_write(uint8_t *frame, uint32_t, uint32_t) {
    const uint32_t address = le32(frame + 16);
    Bytes block;
    put32(block, address);
    put32(block, 256);
    block.resize(KVAT_MEMORY_BLOCK_SIZE, 0x5A);
    std::lock_guard<std::mutex> lock(g_core_link->mutex);
    g_core_link->queue.push_back(make_frame(AT_CODE_TARGET_MEMORY, block, nullptr));
    return true;
}

}  // namespace

TEST(Threaded, ClearingTheObjectNeverRestoresAnOldAnswer) {
    CoreLink link;
    g_core_link = &link;
    ASSERT_TRUE(kelvra_at_init(&link.object, false, core_write, nullptr, 3));
    std::thread feeder([&link] {
        const uint8_t none = 0;
        while (!link.stop.load(std::memory_order_relaxed)) {
            Bytes reply;
            {
                std::lock_guard<std::mutex> lock(link.mutex);
                if (!link.queue.empty()) {
                    reply = std::move(link.queue.front());
                    link.queue.pop_front();
                }
            }
            for (size_t pos = 0; pos < reply.size(); pos += 97) {
                const size_t n = std::min<size_t>(97, reply.size() - pos);
                kelvra_at_datain(&link.object, reply.data() + pos, static_cast<uint32_t>(n));
            }
            kelvra_at_datain(&link.object, &none, 0);
        }
    });
    int stale = 0, failed = 0;
    for (uint32_t i = 0; i < 3000; ++i) {
        ASSERT_TRUE(kelvra_at_clear(&link.object, false, core_write, nullptr, 3));
        ASSERT_EQ(link.object.user, 3u);
        const uint32_t address = 0x08000000u + i * 256u;
        const uint8_t *block = kelvra_at_target_read(&link.object, address, 256);
        if (block == nullptr) {
            ++failed;
        } else if (le32(block) != address) {
            ++stale;
        }
    }
    link.stop.store(true);
    feeder.join();
    g_core_link = nullptr;
    EXPECT_EQ(stale, 0);
    EXPECT_EQ(failed, 0);
}
