// The library drives virtual writers over real pseudo-terminals, as a host with a serial port
// and a reader thread does.
#include "pty_host.h"
#include "sim/pty_writer.h"

#include "core/crc32.h"
#include "core/kelvra_at_api.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using kelvra::sim::Bytes;
using kelvra::sim::FaultSettings;
using kelvra::sim::VirtualWriterPool;
using kelvra::sim::WriterSettings;
using kvat_test::PtyHost;

namespace fs = std::filesystem;

namespace {

fs::path temp_dir(const std::string &name) {
    const fs::path dir = fs::temp_directory_path() / ("kvat-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    return dir;
}

VirtualWriterPool::Options pool_options(const fs::path &dir, size_t count, bool encrypted) {
    VirtualWriterPool::Options o;
    o.count = count;
    o.link_dir = dir;
    o.settings.encrypted = encrypted;
    o.settings.flash_size = 128 * 1024;
    o.settings.offline_polls = 3;
    return o;
}

void full_session(kvat_handle *h) {
    kvat_writer_info info;
    ASSERT_EQ(kvat_get_writer_info(h, &info), 1);
    ASSERT_EQ(kvat_target_connect(h), 1);
    ASSERT_EQ(kvat_target_status(h), 1);
    ASSERT_EQ(kvat_target_erase(h, 5000), 1);

    Bytes image(64 * 1024);
    std::mt19937 rng(99);
    for (auto &b : image) b = static_cast<uint8_t>(rng());
    ASSERT_EQ(kvat_target_write_prepare(h, static_cast<uint32_t>(image.size())), 1);
    for (uint32_t off = 0; off < image.size(); off += 256) {
        ASSERT_EQ(kvat_target_write(h, 0x08000000 + off, image.data() + off, 256), 1) << off;
    }
    Bytes back;
    for (uint32_t off = 0; off < image.size(); off += 256) {
        kvat_memory_block block;
        ASSERT_EQ(kvat_target_read(h, 0x08000000 + off, 256, &block), 1) << off;
        ASSERT_EQ(block.length, 256u);
        back.insert(back.end(), block.data, block.data + 256);
    }
    EXPECT_EQ(back, image);

    kvat_option_bytes ob;
    ASSERT_EQ(kvat_target_write_user_ob(h, 2000), 1);
    ASSERT_EQ(kvat_target_read_ob(h, &ob), 1);
    EXPECT_EQ(ob.data[0], 0xBB);
    ASSERT_EQ(kvat_target_reset(h, 3), 1);

    Bytes project(5000, 0x3C);
    ASSERT_EQ(kvat_project_load(h, "line.pkg", "pw", project.data(), 5000, nullptr, nullptr), 1);
    kvat_project_info_record pi;
    ASSERT_EQ(kvat_project_info(h, &pi), 1);
    EXPECT_EQ(pi.image_crc, crc32(project.data(), 5000));
    ASSERT_EQ(kvat_offline_start(h), 1);
    kvat_offline_state st;
    int polls = 0;
    do {
        ASSERT_EQ(kvat_offline_status(h, &st), 1);
        ++polls;
    } while (st.state == 1 && polls < 20);
    EXPECT_EQ(st.state, 0);
    EXPECT_EQ(polls, 4);
}

// A raw line to a writer, for requests the library would never send.
class RawLine {
public:
    explicit RawLine(const std::string &device) {
        fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("cannot open " + device);
        termios tio{};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd_, TCSANOW, &tio);
    }
    ~RawLine() { ::close(fd_); }
    RawLine(const RawLine &) = delete;
    RawLine &operator=(const RawLine &) = delete;

    // Sends `frame` and returns the answer frame, or nothing when none came within `wait_ms`.
    Bytes exchange(const Bytes &frame, int wait_ms = 2000) {
        if (::write(fd_, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return {};
        Bytes answer;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
        while (answer.size() < 8 || answer.size() < at_get_le32(&answer[4])) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
            uint8_t buf[1100];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) return {};
            answer.insert(answer.end(), buf, buf + n);
        }
        return answer;
    }

private:
    int fd_ = -1;
};

// The answer's code, or for a NACK its result code.
uint32_t outcome(const Bytes &answer) {
    if (answer.size() < 20) return 0;
    const uint32_t code = at_get_le32(&answer[8]);
    return code == AT_STATUS_NACK ? at_get_le32(&answer[16]) : code;
}

Bytes load_header(uint32_t size) {
    Bytes header(279, 0);
    at_put_le32(&header[16], size);
    std::memcpy(&header[24], "huge.pkg", 8);
    return header;
}

}  // namespace

TEST(PtyWriters, FullSessionPlainAndEncrypted) {
    for (bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "encrypted" : "plain");
        const fs::path dir = temp_dir("session");
        {
            VirtualWriterPool pool(pool_options(dir, 1, encrypted));
            ASSERT_TRUE(fs::is_symlink(dir / "ttyKV0"));
            PtyHost host((dir / "ttyKV0").string(), encrypted);
            full_session(host.handle);
        }
        EXPECT_FALSE(fs::exists(dir / "ttyKV0"));  // links go with the pool
        fs::remove_all(dir);
    }
}

TEST(PtyWriters, SeveralWritersAtOnceHaveTheirOwnIdentity) {
    const fs::path dir = temp_dir("pool");
    VirtualWriterPool pool(pool_options(dir, 3, false));
    std::vector<std::string> serials(3);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < 3; ++i) {
        threads.emplace_back([&, i] {
            PtyHost host(pool.link(i).string());
            kvat_writer_info info;
            ASSERT_EQ(kvat_get_writer_info(host.handle, &info), 1);
            serials[i] = std::string(info.serial_number, strnlen(info.serial_number, 32));
            ASSERT_EQ(kvat_target_connect(host.handle), 1);
            kvat_memory_block block;
            for (int k = 0; k < 50; ++k) ASSERT_EQ(kvat_target_read(host.handle, 0x08000000, 256, &block), 1);
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(serials, (std::vector<std::string>{"KVSIM0000", "KVSIM0001", "KVSIM0002"}));
    fs::remove_all(dir);
}

TEST(PtyWriters, LateSplitAndGarbledAnswersOverTheLine) {
    const fs::path dir = temp_dir("faults");
    auto options = pool_options(dir, 1, false);
    options.faults.late_ms = 150;
    options.faults.split = 3;
    VirtualWriterPool pool(options);
    PtyHost host(pool.link(0).string());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kvat_target_connect(host.handle), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    // Answered later than the caller waits: a time-out.
    EXPECT_EQ(kvat_target_erase(host.handle, 50), 0);
    EXPECT_EQ(kvat_last_error(host.handle), 13u);
    fs::remove_all(dir);
}

TEST(PtyWriters, WriterThatDisappearsHangsUpTheLine) {
    const fs::path dir = temp_dir("gone");
    auto options = pool_options(dir, 1, false);
    options.faults.disappear_after = 1;
    VirtualWriterPool pool(options);
    PtyHost host(pool.link(0).string());
    EXPECT_EQ(kvat_target_connect(host.handle), 1);
    EXPECT_EQ(kvat_target_erase(host.handle, 300), 0);
    EXPECT_EQ(kvat_last_error(host.handle), 13u);
    for (int i = 0; i < 100 && !host.hung_up(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(host.hung_up());
    EXPECT_FALSE(pool.writer(0).alive());
    fs::remove_all(dir);
}

// A header claiming almost 4 GiB is refused with the package-size code; the writer, and the
// other writers of the same process, go on answering.
TEST(PtyWriters, OversizedProjectHeaderIsRefusedAndTheWriterKeepsAnswering) {
    const fs::path dir = temp_dir("oversized");
    VirtualWriterPool pool(pool_options(dir, 2, false));
    const kelvra::sim::VirtualWriter frames;  // builds plain request frames
    {
        RawLine line(pool.link(0).string());
        for (const uint32_t size : {0xFFFFFFF0u, 0xFFFFFFFFu, WriterSettings{}.project_capacity + 1}) {
            EXPECT_EQ(outcome(line.exchange(frames.make_frame(AT_CODE_PROJECT_LOAD, load_header(size)))),
                      19u) << size;
            EXPECT_EQ(outcome(line.exchange(frames.make_frame(AT_CODE_GET_WRITER_INFO, Bytes(4, 0)))),
                      static_cast<uint32_t>(AT_CODE_WRITER_INFO)) << size;
        }
    }
    for (size_t i = 0; i < pool.size(); ++i) {
        EXPECT_TRUE(pool.writer(i).alive());
        PtyHost host(pool.link(i).string());
        kvat_writer_info info;
        EXPECT_EQ(kvat_get_writer_info(host.handle, &info), 1) << i;
        Bytes project(600, 0x11);
        EXPECT_EQ(kvat_project_load(host.handle, "p.pkg", "", project.data(), 600, nullptr, nullptr), 1) << i;
    }
    fs::remove_all(dir);
}

// A request whose handling throws is logged and dropped; the serve thread carries on.
TEST(PtyWriters, ExceptionWhileHandlingARequestIsLoggedAndServingGoesOn) {
    const fs::path dir = temp_dir("raise");
    auto options = pool_options(dir, 1, false);
    options.faults.code = AT_CODE_TARGET_CONNECT;
    options.faults.raise = true;
    VirtualWriterPool pool(options);
    const kelvra::sim::VirtualWriter frames;
    RawLine line(pool.link(0).string());
    const Bytes connect = frames.make_frame(AT_CODE_TARGET_CONNECT, Bytes(4, 0));
    const Bytes info = frames.make_frame(AT_CODE_GET_WRITER_INFO, Bytes(4, 0));
    testing::internal::CaptureStderr();
    const Bytes dropped = line.exchange(connect, 300);
    const Bytes answered = line.exchange(info);
    // In one write: the request behind the one that threw is still answered.
    Bytes both = connect;
    both.insert(both.end(), info.begin(), info.end());
    const Bytes behind = line.exchange(both);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(dropped.empty());
    EXPECT_EQ(outcome(answered), static_cast<uint32_t>(AT_CODE_WRITER_INFO));
    EXPECT_EQ(outcome(behind), static_cast<uint32_t>(AT_CODE_WRITER_INFO));
    EXPECT_EQ(behind.size(), answered.size());  // one answer, nothing for the connect
    const std::string entry = "request dropped: fault: raised while handling request 100\n";
    const auto first = log.find(entry);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find(entry, first + 1), std::string::npos) << log;
    EXPECT_TRUE(pool.writer(0).alive());
    fs::remove_all(dir);
}
