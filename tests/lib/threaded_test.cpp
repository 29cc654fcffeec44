// A command thread and a feeding thread per handle, as a host with a reader thread runs them.
// Run under ThreadSanitizer in CI.
#include "writer_double.h"

#include <gtest/gtest.h>

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
