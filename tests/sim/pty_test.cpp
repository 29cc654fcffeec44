// The library drives virtual writers over real pseudo-terminals, as a host with a serial port
// and a reader thread does.
#include "pty_host.h"
#include "sim/pty_writer.h"

#include "core/crc32.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>

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
