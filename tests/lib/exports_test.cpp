// Every export against the scripted writer, on plain and encrypted links, with the answer fed
// whole, byte by byte and in random slices.
#include "writer_double.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

using namespace kvat_test;

namespace {

struct LinkCase {
    bool encrypted;
    Feed feed;
};

std::string link_name(const testing::TestParamInfo<LinkCase> &info) {
    static const char *feeds[] = {"Whole", "ByteByByte", "RandomSlices"};
    return std::string(info.param.encrypted ? "Encrypted" : "Plain") +
           feeds[static_cast<int>(info.param.feed)];
}

class Exports : public testing::TestWithParam<LinkCase> {
protected:
    Exports() : w(GetParam().encrypted) { w.feed = GetParam().feed; }

    // Makes the writer answer every request with `answer`.
    void answer_with(const Bytes &answer) {
        w.respond = [answer](const Request &) { return std::optional<Bytes>(answer); };
    }
    const Request &only_request() {
        EXPECT_EQ(w.requests.size(), 1u);
        return w.requests.back();
    }
    void expect_request(uint32_t code, const Bytes &payload, uint32_t timeout_ms) {
        const Request &r = only_request();
        EXPECT_TRUE(r.crc_ok);
        EXPECT_EQ(r.code, code);
        EXPECT_EQ(r.payload, payload);
        EXPECT_EQ(r.payload_length, payload.size());
        EXPECT_EQ(r.timeout_ms, timeout_ms);
        EXPECT_EQ(r.length, r.raw.size());
        if (GetParam().encrypted) {
            EXPECT_EQ((r.raw.size() - 12) % 16, 0u);
        }
        for (uint8_t b : r.padding) EXPECT_EQ(b, 0);
    }

    WriterDouble w;
};

Bytes word(uint32_t v) {
    Bytes b;
    put32(b, v);
    return b;
}
Bytes words(uint32_t a, uint32_t b) {
    Bytes out = word(a);
    put32(out, b);
    return out;
}

}  // namespace

TEST_P(Exports, GetWriterInfo) {
    kvat_writer_info info{};
    std::memcpy(info.type, "KVR4", 4);
    std::memset(info.serial_number, 'S', 32);  // full field, no terminator
    answer_with(w.data(AT_CODE_WRITER_INFO, &info, sizeof info));
    kvat_writer_info out{};
    ASSERT_EQ(kvat_get_writer_info(w.handle, &out), 1);
    EXPECT_EQ(std::memcmp(&out, &info, sizeof info), 0);
    EXPECT_EQ(kvat_last_error(w.handle), 0u);
    expect_request(AT_CODE_GET_WRITER_INFO, word(0), 5000);
}

TEST_P(Exports, WriterConfigReadAndWrittenBackByteForByte) {
    uint8_t config[KVAT_WRITER_CONFIG_SIZE];
    for (size_t i = 0; i < sizeof config; ++i) config[i] = static_cast<uint8_t>(i * 7 + 3);
    answer_with(w.data(AT_CODE_WRITER_CFG, config, sizeof config));
    kvat_writer_config out{};
    ASSERT_EQ(kvat_get_writer_config(w.handle, &out), 1);
    EXPECT_EQ(std::memcmp(&out, config, sizeof config), 0);
    expect_request(AT_CODE_GET_WRITER_CFG, word(0), 5000);

    w.requests.clear();
    answer_with(w.ack());
    ASSERT_EQ(kvat_set_writer_config(w.handle, &out), 1);
    expect_request(AT_CODE_SET_WRITER_CFG, Bytes(config, config + sizeof config), 5000);
    EXPECT_EQ(w.requests.back().raw.size(), GetParam().encrypted ? 92u : 90u);
}

// ACK-only exports: request code, payload and time-out.
TEST_P(Exports, AckOnlyCommands) {
    struct Case {
        const char *name;
        std::function<int(kvat_handle *)> call;
        uint32_t code;
        Bytes payload;
        uint32_t timeout;
    };
    const Case cases[] = {
        {"baud", [](kvat_handle *h) { return kvat_set_baudrate(h, 921600); }, 6, word(921600), 5000},
        {"connect", [](kvat_handle *h) { return kvat_target_connect(h); }, 100, word(0), 5000},
        {"status", [](kvat_handle *h) { return kvat_target_status(h); }, 101, word(0), 5000},
        {"erase", [](kvat_handle *h) { return kvat_target_erase(h, 30000); }, 106, word(0), 30000},
        {"erase sector",
         [](kvat_handle *h) { return kvat_target_erase_sector(h, 0x08001000, 0x2000, 7000); }, 107,
         words(0x08001000, 0x2000), 7000},
        {"prepare", [](kvat_handle *h) { return kvat_target_write_prepare(h, 65536); }, 108,
         word(65536), 5000},
        {"vendor ob", [](kvat_handle *h) { return kvat_target_write_vendor_ob(h, 1234); }, 112,
         word(0), 1234},
        {"user ob", [](kvat_handle *h) { return kvat_target_write_user_ob(h, 4321); }, 113, word(0),
         4321},
        {"reset", [](kvat_handle *h) { return kvat_target_reset(h, 5); }, 114, word(5), 5000},
        {"disable", [](kvat_handle *h) { return kvat_project_disable(h); }, 204, word(0), 5000},
        {"offline start", [](kvat_handle *h) { return kvat_offline_start(h); }, 205, word(0), 5000},
        {"factory sram", [](kvat_handle *h) { return kvat_factory_run_sram_fw(h, 800); }, 300,
         word(0), 800},
        {"factory flash", [](kvat_handle *h) { return kvat_factory_run_flash_fw(h, 900); }, 301,
         word(0), 900},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        w.requests.clear();
        answer_with(w.ack());
        EXPECT_EQ(c.call(w.handle), 1);
        EXPECT_EQ(kvat_last_error(w.handle), 0u);
        expect_request(c.code, c.payload, c.timeout);

        // The same command refused by the writer carries the writer's code.
        w.requests.clear();
        answer_with(w.nack(9));
        EXPECT_EQ(c.call(w.handle), 0);
        EXPECT_EQ(kvat_last_error(w.handle), 9u);

        // Any other answer fails and leaves the last error as it was.
        answer_with(w.frame(12345, word(0)));
        EXPECT_EQ(c.call(w.handle), 0);
        EXPECT_EQ(kvat_last_error(w.handle), 9u);
    }
}

TEST_P(Exports, ReadingCommandsCopyTheirRecords) {
    kvat_chip_id id{};
    id.count = 4;
    id.id[0] = 0xDE, id.id[1] = 0xAD, id.id[2] = 0xBE, id.id[3] = 0xEF;
    answer_with(w.data(AT_CODE_TARGET_ID, &id, sizeof id));
    kvat_chip_id id_out{};
    ASSERT_EQ(kvat_target_get_id(w.handle, &id_out), 1);
    EXPECT_EQ(std::memcmp(&id_out, &id, sizeof id), 0);
    expect_request(AT_CODE_TARGET_GET_ID, word(0), 5000);

    w.requests.clear();
    kvat_option_bytes ob{};
    ob.count = 1024;
    for (int i = 0; i < 1024; ++i) ob.data[i] = static_cast<uint8_t>(255 - i);
    answer_with(w.data(AT_CODE_TARGET_OB, &ob, sizeof ob));
    auto ob_out = std::make_unique<kvat_option_bytes>();
    ASSERT_EQ(kvat_target_read_ob(w.handle, ob_out.get()), 1);
    EXPECT_EQ(std::memcmp(ob_out.get(), &ob, sizeof ob), 0);
    expect_request(AT_CODE_TARGET_READ_OB, word(0), 5000);

    w.requests.clear();
    const uint8_t info[9] = {1, 0xE8, 0x03, 0, 0, 0x78, 0x56, 0x34, 0x12};
    answer_with(w.data(AT_CODE_PROJECT_INFO_DATA, info, sizeof info));
    kvat_project_info_record pi{};
    ASSERT_EQ(kvat_project_info(w.handle, &pi), 1);
    EXPECT_EQ(pi.enabled, 1);
    EXPECT_EQ(pi.image_size, 1000u);
    EXPECT_EQ(pi.image_crc, 0x12345678u);
    expect_request(AT_CODE_PROJECT_INFO, word(0), 5000);
}

TEST_P(Exports, TargetReadSendsAtMost256) {
    kvat_memory_block block{};
    block.address = 0x08000000;
    block.length = 256;
    for (int i = 0; i < 256; ++i) block.data[i] = static_cast<uint8_t>(i);
    answer_with(w.data(AT_CODE_TARGET_MEMORY, &block, sizeof block));
    kvat_memory_block out{};
    ASSERT_EQ(kvat_target_read(w.handle, 0x08000000, 1000, &out), 1);
    EXPECT_EQ(std::memcmp(&out, &block, sizeof block), 0);
    expect_request(AT_CODE_TARGET_READ, words(0x08000000, 256), 5000);
}

TEST_P(Exports, TargetWriteSendsOneChunk) {
    Bytes data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 3);
    ASSERT_EQ(kvat_target_write(w.handle, 0x20000000, data.data(), 300), 1);
    Bytes expected = words(0x20000000, 256);
    expected.insert(expected.end(), data.begin(), data.begin() + 256);
    expect_request(AT_CODE_TARGET_WRITE, expected, 20000);
    if (!GetParam().encrypted) {
        EXPECT_EQ(w.requests.back().raw.size(), 284u);
    }
}

TEST_P(Exports, ProjectLoadFramesAndProgress) {
    Bytes image(1000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i ^ 0x5A);
    std::vector<std::pair<uint32_t, uint32_t>> progress;
    auto on_progress = [](void *user, uint32_t total, uint32_t done) {
        static_cast<std::vector<std::pair<uint32_t, uint32_t>> *>(user)->emplace_back(total, done);
    };
    ASSERT_EQ(kvat_project_load(w.handle, "line3/app.pkg", "0123456789abcdef", image.data(),
                                1000, on_progress, &progress),
              1);
    ASSERT_EQ(w.requests.size(), 5u);
    const Request &header = w.requests[0];
    EXPECT_EQ(header.code, 202u);
    ASSERT_EQ(header.payload.size(), 279u);
    EXPECT_EQ(std::string(header.payload.begin(), header.payload.begin() + 16), "0123456789abcdef");
    EXPECT_EQ(le32(&header.payload[16]), 1000u);
    EXPECT_EQ(le32(&header.payload[20]), zcrc(image.data(), image.size()));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&header.payload[24])), "line3/app.pkg");
    const uint32_t sizes[] = {256, 256, 256, 232};
    for (uint32_t i = 0; i < 4; ++i) {
        const Request &r = w.requests[1 + i];
        EXPECT_TRUE(r.crc_ok);
        EXPECT_EQ(r.code, 203u);
        ASSERT_EQ(r.payload.size(), 264u);
        EXPECT_EQ(le32(&r.payload[0]), i * 256);
        EXPECT_EQ(le32(&r.payload[4]), sizes[i]);
        EXPECT_EQ(Bytes(r.payload.begin() + 8, r.payload.begin() + 8 + sizes[i]),
                  Bytes(image.begin() + i * 256, image.begin() + i * 256 + sizes[i]));
    }
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {1000, 256}, {1000, 512}, {1000, 768}, {1000, 1000}};
    EXPECT_EQ(progress, expected);

    // A later load without a callback calls none.
    progress.clear();
    w.requests.clear();
    ASSERT_EQ(kvat_project_load(w.handle, "b.pkg", "", image.data(), 10, nullptr, nullptr), 1);
    EXPECT_TRUE(progress.empty());
}

TEST_P(Exports, ProjectLoadStopsAtTheFirstRefusedFrame) {
    w.respond = [this](const Request &r) {
        if (r.code == 203 && le32(&r.payload[0]) == 512) return std::optional<Bytes>(w.nack(35));
        return std::optional<Bytes>(w.ack());
    };
    Bytes image(2000, 0x11);
    EXPECT_EQ(kvat_project_load(w.handle, "p.pkg", "pw", image.data(), 2000, nullptr, nullptr), 0);
    EXPECT_EQ(kvat_last_error(w.handle), 35u);
    EXPECT_EQ(w.requests.size(), 4u);  // header and three frames; nothing is repeated
}

TEST_P(Exports, PasswordsAndNames) {
    // 16 characters fill the field without a terminator; 17 are refused before sending.
    EXPECT_EQ(kvat_project_switch(w.handle, 3, "fw.pkg", "abcdefghijklmnop"), 1);
    const Request &r = only_request();
    EXPECT_EQ(r.code, 207u);
    EXPECT_EQ(r.timeout_ms, 15000u);
    ASSERT_EQ(r.payload.size(), 275u);
    EXPECT_EQ(le32(&r.payload[0]), 3u);
    EXPECT_EQ(std::string(r.payload.begin() + 4, r.payload.begin() + 20), "abcdefghijklmnop");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&r.payload[20])), "fw.pkg");

    w.requests.clear();
    EXPECT_EQ(kvat_project_switch(w.handle, 3, "fw.pkg", "abcdefghijklmnopq"), 0);
    EXPECT_EQ(kvat_last_error(w.handle), 46u);
    const uint8_t image[4] = {1, 2, 3, 4};
    EXPECT_EQ(kvat_project_load(w.handle, "a", "abcdefghijklmnopq", image, 4, nullptr, nullptr), 0);
    EXPECT_EQ(kvat_last_error(w.handle), 46u);
    EXPECT_TRUE(w.requests.empty());

    // A 300-character name is cut to 254, and the field stays terminated.
    const std::string name(300, 'n');
    ASSERT_EQ(kvat_project_load(w.handle, name.c_str(), "", image, 4, nullptr, nullptr), 1);
    const Bytes &header = w.requests[0].payload;
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&header[24])), std::string(254, 'n'));
    EXPECT_EQ(header[24 + 254], 0);
}

TEST_P(Exports, OfflineStatusOutcomes) {
    struct Case {
        const char *name;
        Bytes answer;  // empty: no answer
        int result;
        kvat_offline_state expected;
    };
    const Case cases[] = {
        {"finished", w.ack(), 1, {0, 0, 0, 0}},
        {"running", w.frame(AT_STATUS_RUNNING, words(40, 100)), 1, {1, 40, 100, 0}},
        {"failed", w.nack(3), 1, {2, 0, 0, 3}},
        {"unrecognised", w.frame(999, words(1, 2)), 1, {-1, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        answer_with(c.answer);
        kvat_offline_state out;
        std::memset(&out, 0x77, sizeof out);
        EXPECT_EQ(kvat_offline_status(w.handle, &out), c.result);
        EXPECT_EQ(std::memcmp(&out, &c.expected, sizeof out), 0)
            << out.state << " " << out.progress0 << " " << out.progress1 << " " << out.error;
    }
}

TEST_P(Exports, BroadcastWithAnswer) {
    kvat_broadcast_record answer{};
    answer.keep_frame = 1;
    answer.length = 3;
    std::memcpy(answer.data, "pong", 4);
    answer_with(w.data(AT_CODE_BROADCAST, &answer, sizeof answer));
    Bytes data(300, 0x42);
    kvat_broadcast_record out{};
    ASSERT_EQ(kvat_broadcast(w.handle, data.data(), 300, 0, 1, 1, 20, &out), 1);
    EXPECT_EQ(std::memcmp(&out, &answer, sizeof out), 0);
    const Request &r = only_request();
    EXPECT_EQ(r.code, 400u);
    EXPECT_EQ(r.timeout_ms, 100u);  // at least 100 ms when an answer is awaited
    ASSERT_EQ(r.payload.size(), 9u + 256u);
    EXPECT_EQ(r.payload[0], 1);
    EXPECT_EQ(le32(&r.payload[1]), 0u);
    EXPECT_EQ(le32(&r.payload[5]), 256u);

    w.requests.clear();
    ASSERT_EQ(kvat_broadcast(w.handle, data.data(), 4, 0, 0, 1, 2500, nullptr), 1);
    EXPECT_EQ(only_request().timeout_ms, 2500u);
}

INSTANTIATE_TEST_SUITE_P(Links, Exports,
                         testing::Values(LinkCase{false, Feed::Whole},
                                         LinkCase{false, Feed::ByteByByte},
                                         LinkCase{false, Feed::RandomSlices},
                                         LinkCase{true, Feed::Whole},
                                         LinkCase{true, Feed::ByteByByte},
                                         LinkCase{true, Feed::RandomSlices}),
                         link_name);
