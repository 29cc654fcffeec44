// The writer model driven by the library in-process: every request code, the writer's codes,
// dropped frames and fault injection.
#include "sim/virtual_writer.h"

#include "core/crc32.h"
#include "core/kelvra_at_api.h"
#include "kelvra_at.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

using kelvra::sim::Bytes;
using kelvra::sim::FaultSettings;
using kelvra::sim::Reply;
using kelvra::sim::VirtualWriter;
using kelvra::sim::WriterSettings;

namespace {

// A library handle wired straight to a model: each request goes in, each answer is fed back
// in its pieces. Delays are not waited for here; the pty tests cover timing.
class Link {
public:
    explicit Link(WriterSettings settings = {}, FaultSettings faults = {})
        : writer(std::move(settings), faults) {
        handle = kvat_create(writer.settings().encrypted, &Link::write_cb, nullptr, this);
    }
    ~Link() { kvat_destroy(handle); }
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    uint32_t error() const { return kvat_last_error(handle); }

    // Sends raw request bytes to the model and returns its answers.
    std::vector<Reply> raw(const Bytes &bytes) { return writer.receive(bytes.data(), bytes.size()); }
    Bytes request(uint32_t code, const Bytes &payload) const { return writer.make_frame(code, payload); }

    VirtualWriter writer;
    kvat_handle *handle = nullptr;
    std::vector<Reply> last_replies;

private:
    static int write_cb(void *user, const uint8_t *frame, uint32_t length, uint32_t) {
        auto *self = static_cast<Link *>(user);
        self->last_replies = self->writer.receive(frame, length);
        for (const Reply &r : self->last_replies) {
            const size_t piece = r.split == 0 ? r.bytes.size() : r.split;
            for (size_t pos = 0; pos < r.bytes.size(); pos += piece) {
                const size_t n = std::min(piece, r.bytes.size() - pos);
                kvat_feed(self->handle, r.bytes.data() + pos, static_cast<uint32_t>(n));
            }
        }
        return 1;
    }
};

Bytes word(uint32_t v) {
    Bytes b(4);
    at_put_le32(b.data(), v);
    return b;
}

uint32_t reply_code(const VirtualWriter &w, const Reply &r) {
    Bytes f = r.bytes;
    EXPECT_FALSE(w.settings().encrypted);
    return at_get_le32(&f[8]);
}

}  // namespace

class Model : public testing::TestWithParam<bool> {
protected:
    static WriterSettings settings() {
        WriterSettings s;
        s.encrypted = GetParam();
        s.flash_size = 64 * 1024;
        s.sector_size = 1024;
        return s;
    }
};

TEST_P(Model, IdentityConfigurationAndBaudRate) {
    Link link(settings());
    kvat_writer_info info;
    ASSERT_EQ(kvat_get_writer_info(link.handle, &info), 1);
    EXPECT_STREQ(info.type, "KVR4");
    EXPECT_EQ(std::string(info.serial_number, strnlen(info.serial_number, 32)), "KVSIM0000");

    kvat_writer_config config;
    ASSERT_EQ(kvat_get_writer_config(link.handle, &config), 1);
    config.limit_number = 12345;
    config.buzzer = 0;
    ASSERT_EQ(kvat_set_writer_config(link.handle, &config), 1);
    kvat_writer_config again;
    ASSERT_EQ(kvat_get_writer_config(link.handle, &again), 1);
    EXPECT_EQ(std::memcmp(&config, &again, sizeof config), 0);

    EXPECT_EQ(kvat_set_baudrate(link.handle, 921600), 1);
    EXPECT_EQ(link.writer.baudrate(), 921600u);
    EXPECT_EQ(kvat_set_baudrate(link.handle, 0), 0);
    EXPECT_EQ(link.error(), 93u);
}

TEST_P(Model, TargetNeedsAConnection) {
    Link link(settings());
    kvat_chip_id id;
    kvat_memory_block block;
    kvat_option_bytes ob;
    const uint8_t data[4] = {1, 2, 3, 4};
    struct Case {
        const char *name;
        std::function<int()> call;
    };
    const Case cases[] = {
        {"status", [&] { return kvat_target_status(link.handle); }},
        {"id", [&] { return kvat_target_get_id(link.handle, &id); }},
        {"read", [&] { return kvat_target_read(link.handle, 0x08000000, 16, &block); }},
        {"erase", [&] { return kvat_target_erase(link.handle, 1000); }},
        {"erase sector", [&] { return kvat_target_erase_sector(link.handle, 0x08000000, 16, 1000); }},
        {"prepare", [&] { return kvat_target_write_prepare(link.handle, 4); }},
        {"write", [&] { return kvat_target_write(link.handle, 0x08000000, data, 4); }},
        {"read ob", [&] { return kvat_target_read_ob(link.handle, &ob); }},
        {"vendor ob", [&] { return kvat_target_write_vendor_ob(link.handle, 1000); }},
        {"user ob", [&] { return kvat_target_write_user_ob(link.handle, 1000); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), 0);
        EXPECT_EQ(link.error(), 9u);
    }
    ASSERT_EQ(kvat_target_connect(link.handle), 1);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), 1);
    }
    EXPECT_EQ(id.count, 4);
    EXPECT_EQ(id.id[0], 0x10);
}

TEST_P(Model, FlashProgramsLikeFlash) {
    Link link(settings());
    ASSERT_EQ(kvat_target_connect(link.handle), 1);
    Bytes image(1000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13);
    ASSERT_EQ(kvat_target_write_prepare(link.handle, 1000), 1);
    for (uint32_t off = 0; off < 1000; off += 256) {
        ASSERT_EQ(kvat_target_write(link.handle, 0x08000300 + off, image.data() + off,
                                    std::min(256u, 1000 - off)),
                  1);
    }
    kvat_memory_block block;
    ASSERT_EQ(kvat_target_read(link.handle, 0x08000300, 300, &block), 1);
    EXPECT_EQ(block.address, 0x08000300u);
    EXPECT_EQ(block.length, 256u);
    EXPECT_EQ(Bytes(block.data, block.data + 256), Bytes(image.begin(), image.begin() + 256));

    // Writing over programmed bytes fails; out of range fails with the writer's codes.
    EXPECT_EQ(kvat_target_write(link.handle, 0x08000300, "\xFF\xFF", 2), 0);
    EXPECT_EQ(link.error(), 11u);
    EXPECT_EQ(kvat_target_write(link.handle, 0x08010000 - 2, "\x00\x00\x00\x00", 4), 0);
    EXPECT_EQ(link.error(), 11u);
    EXPECT_EQ(kvat_target_read(link.handle, 0x07FFFFFF, 4, &block), 0);
    EXPECT_EQ(link.error(), 12u);
    EXPECT_EQ(kvat_target_erase_sector(link.handle, 0x08010000, 1, 1000), 0);
    EXPECT_EQ(link.error(), 10u);

    // A sector erase clears whole sectors: 1 byte at 0x08000400 clears 0x400..0x7FF and
    // leaves the sector before it.
    ASSERT_EQ(kvat_target_erase_sector(link.handle, 0x08000400, 1, 1000), 1);
    const Bytes &flash = link.writer.flash();
    EXPECT_EQ(Bytes(flash.begin() + 0x400, flash.begin() + 0x800), Bytes(0x400, 0xFF));
    EXPECT_EQ(Bytes(flash.begin() + 0x300, flash.begin() + 0x400), Bytes(image.begin(), image.begin() + 0x100));
    ASSERT_EQ(kvat_target_erase(link.handle, 1000), 1);
    EXPECT_EQ(link.writer.flash(), Bytes(64 * 1024, 0xFF));
}

TEST_P(Model, OptionBytesAndReset) {
    Link link(settings());
    ASSERT_EQ(kvat_target_connect(link.handle), 1);
    kvat_option_bytes ob;
    ASSERT_EQ(kvat_target_read_ob(link.handle, &ob), 1);
    EXPECT_EQ(ob.count, 8u);
    EXPECT_EQ(ob.data[0], 0xAA);
    ASSERT_EQ(kvat_target_write_user_ob(link.handle, 1000), 1);
    ASSERT_EQ(kvat_target_read_ob(link.handle, &ob), 1);
    EXPECT_EQ(ob.data[0], 0xBB);
    ASSERT_EQ(kvat_target_write_vendor_ob(link.handle, 1000), 1);
    ASSERT_EQ(kvat_target_read_ob(link.handle, &ob), 1);
    EXPECT_EQ(ob.data[0], 0xAA);

    for (uint32_t type = 0; type <= 7; ++type) EXPECT_EQ(kvat_target_reset(link.handle, type), 1);
    EXPECT_EQ(link.writer.last_reset_type(), 7u);
    EXPECT_EQ(kvat_target_reset(link.handle, 8), 0);
    EXPECT_EQ(link.error(), 6u);
}

TEST_P(Model, ProjectsAndOfflineProgramming) {
    WriterSettings s = settings();
    s.offline_polls = 2;
    Link link(s);
    kvat_project_info_record info;
    ASSERT_EQ(kvat_project_info(link.handle, &info), 1);
    EXPECT_EQ(info.enabled, 0);
    EXPECT_EQ(kvat_offline_start(link.handle), 0);
    EXPECT_EQ(link.error(), 36u);

    Bytes image(1000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(kvat_project_load(link.handle, "a.pkg", "secret", image.data(), 1000, nullptr, nullptr), 1);
    ASSERT_EQ(kvat_project_info(link.handle, &info), 1);
    EXPECT_EQ(info.enabled, 1);
    EXPECT_EQ(info.image_size, 1000u);
    EXPECT_EQ(info.image_crc, crc32(image.data(), 1000));

    EXPECT_EQ(kvat_project_switch(link.handle, 0, "a.pkg", "wrong"), 0);
    EXPECT_EQ(link.error(), 46u);
    EXPECT_EQ(kvat_project_switch(link.handle, 1, "b.pkg", "secret"), 0);
    EXPECT_EQ(link.error(), 36u);
    ASSERT_EQ(kvat_project_disable(link.handle), 1);
    ASSERT_EQ(kvat_project_info(link.handle, &info), 1);
    EXPECT_EQ(info.enabled, 0);
    ASSERT_EQ(kvat_project_switch(link.handle, 0, "a.pkg", "secret"), 1);

    ASSERT_EQ(kvat_offline_start(link.handle), 1);
    kvat_offline_state st;
    ASSERT_EQ(kvat_offline_status(link.handle, &st), 1);
    EXPECT_EQ(st.state, 1);
    EXPECT_EQ(st.progress0, 0u);
    EXPECT_EQ(st.progress1, 2u);
    ASSERT_EQ(kvat_offline_status(link.handle, &st), 1);
    EXPECT_EQ(st.state, 1);
    ASSERT_EQ(kvat_offline_status(link.handle, &st), 1);
    EXPECT_EQ(st.state, 0);
}

TEST_P(Model, OfflineProgrammingThatFails) {
    WriterSettings s = settings();
    s.offline_polls = 0;
    s.offline_result = 61;
    Link link(s);
    const uint8_t image[3] = {1, 2, 3};
    ASSERT_EQ(kvat_project_load(link.handle, "x.pkg", "", image, 3, nullptr, nullptr), 1);
    ASSERT_EQ(kvat_offline_start(link.handle), 1);
    kvat_offline_state st;
    ASSERT_EQ(kvat_offline_status(link.handle, &st), 1);
    EXPECT_EQ(st.state, 2);
    EXPECT_EQ(st.error, 61);
}

TEST_P(Model, FactoryAndBroadcast) {
    Link refused(settings());
    EXPECT_EQ(kvat_factory_run_sram_fw(refused.handle, 500), 0);
    EXPECT_EQ(refused.error(), 89u);
    WriterSettings s = settings();
    s.factory_test = true;
    Link link(s);
    EXPECT_EQ(kvat_factory_run_sram_fw(link.handle, 500), 1);
    EXPECT_EQ(kvat_factory_run_flash_fw(link.handle, 500), 1);

    kvat_broadcast_record answer;
    ASSERT_EQ(kvat_broadcast(link.handle, "ping", 4, 0, 1, 1, 100, &answer), 1);
    EXPECT_EQ(answer.length, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(answer.data), 4), "ping");
    // Without keeping the frame the data only goes out on the UART.
    EXPECT_EQ(kvat_broadcast(link.handle, "ping", 4, 0, 0, 0, 100, nullptr), 1);
    EXPECT_TRUE(link.last_replies.empty());
    EXPECT_EQ(kvat_broadcast(link.handle, "ping", 4, 1, 1, 1, 100, nullptr), 0);
    EXPECT_EQ(link.error(), 94u);
}

INSTANTIATE_TEST_SUITE_P(Links, Model, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &i) {
                             return i.param ? "Encrypted" : "Plain";
                         });

TEST(ModelFrames, UnknownCodesShortPayloadsAndBadFrames) {
    Link link;
    const VirtualWriter &w = link.writer;
    auto answers = link.raw(link.request(7, word(0)));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(reply_code(w, answers[0]), AT_STATUS_NACK);
    EXPECT_EQ(at_get_le32(&answers[0].bytes[16]), 43u);
    // A response code sent as a request is unknown too.
    answers = link.raw(link.request(AT_CODE_WRITER_INFO, word(0)));
    EXPECT_EQ(at_get_le32(&answers.at(0).bytes[16]), 43u);
    // A payload shorter than the code needs is a size error.
    answers = link.raw(link.request(AT_CODE_TARGET_READ, word(0)));
    EXPECT_EQ(at_get_le32(&answers.at(0).bytes[16]), 19u);

    // Bad magic, CRC or length: no answer, and the writer finds the next good frame.
    Bytes bad_crc = link.request(AT_CODE_TARGET_CONNECT, word(0));
    bad_crc.back() ^= 0xFF;
    Bytes stream = {0x00, 'K', 'V', 0x13};
    stream.insert(stream.end(), bad_crc.begin(), bad_crc.end());
    const Bytes huge = {'K', 'V', 'A', 'T', 0xFF, 0xFF, 0, 0};
    stream.insert(stream.end(), huge.begin(), huge.end());
    const Bytes good = link.request(AT_CODE_TARGET_CONNECT, word(0));
    stream.insert(stream.end(), good.begin(), good.end());
    answers = link.raw(stream);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(reply_code(w, answers[0]), AT_STATUS_ACK);
    EXPECT_GE(w.frames_dropped(), 2u);

    // Fed byte by byte the same stream gives the same single answer.
    Link again;
    size_t count = 0;
    for (uint8_t b : stream) count += again.raw({b}).size();
    EXPECT_EQ(count, 1u);
}

TEST(ModelFrames, ProjectImagesAreKeptOnlyWhenComplete) {
    Link link;
    auto header = [&](uint32_t size, uint32_t crc) {
        Bytes p(279, 0);
        at_put_le32(&p[16], size);
        at_put_le32(&p[20], crc);
        std::memcpy(&p[24], "p.pkg", 5);
        return link.request(AT_CODE_PROJECT_LOAD, p);
    };
    auto chunk = [&](uint32_t offset, const Bytes &data) {
        Bytes p(264, 0);
        at_put_le32(&p[0], offset);
        at_put_le32(&p[4], static_cast<uint32_t>(data.size()));
        std::copy(data.begin(), data.end(), p.begin() + 8);
        return link.request(AT_CODE_PROJECT_DATA, p);
    };
    auto code_of = [&](const Bytes &request) {
        auto answers = link.raw(request);
        const uint32_t c = at_get_le32(&answers.at(0).bytes[8]);
        return c == AT_STATUS_NACK ? at_get_le32(&answers.at(0).bytes[16]) : c;
    };
    const Bytes data(300, 0x42);
    // Wrong CRC: every frame arrives, the image is refused at the end.
    EXPECT_EQ(code_of(header(300, 0xDEADBEEF)), AT_STATUS_ACK);
    EXPECT_EQ(code_of(chunk(0, Bytes(256, 0x42))), AT_STATUS_ACK);
    EXPECT_EQ(code_of(chunk(256, Bytes(44, 0x42))), 35u);
    EXPECT_EQ(link.writer.project_count(), 0u);
    // A missing frame: the next offset does not follow.
    EXPECT_EQ(code_of(header(300, crc32(data.data(), 300))), AT_STATUS_ACK);
    EXPECT_EQ(code_of(chunk(256, Bytes(44, 0x42))), 35u);
    // Data without a header.
    EXPECT_EQ(code_of(chunk(0, Bytes(44, 0x42))), 35u);
    EXPECT_EQ(link.writer.project_count(), 0u);
}

// The load header's size is the host's claim: a writer sets nothing aside for more than it
// can store, refuses the header and goes on answering.
TEST(ModelFrames, ProjectHeaderLargerThanTheStorageIsRefused) {
    struct Case {
        uint32_t capacity;
        uint32_t size;
        uint32_t answer;  // ACK, or the NACK code
    };
    const uint32_t default_capacity = WriterSettings{}.project_capacity;
    for (const Case &c : {Case{default_capacity, 0xFFFFFFF0u, 19u},
                          Case{default_capacity, 0xFFFFFFFFu, 19u},
                          Case{default_capacity, default_capacity + 1, 19u},
                          Case{default_capacity, default_capacity, AT_STATUS_ACK},
                          Case{1000, 1001, 19u},
                          Case{1000, 1000, AT_STATUS_ACK},
                          Case{1000, 0, 19u}}) {
        SCOPED_TRACE(testing::Message() << "capacity " << c.capacity << ", size " << c.size);
        WriterSettings settings;
        settings.project_capacity = c.capacity;
        Link link(settings);
        Bytes header(279, 0);
        at_put_le32(&header[16], c.size);
        std::memcpy(&header[24], "big.pkg", 7);
        auto answers = link.raw(link.request(AT_CODE_PROJECT_LOAD, header));
        ASSERT_EQ(answers.size(), 1u);
        const uint32_t code = reply_code(link.writer, answers[0]);
        EXPECT_EQ(code == AT_STATUS_NACK ? at_get_le32(&answers[0].bytes[16]) : code, c.answer);
        // A refused header leaves no load open: its data frames are refused as well.
        if (c.answer != AT_STATUS_ACK) {
            Bytes chunk(264, 0);
            at_put_le32(&chunk[4], 1);
            answers = link.raw(link.request(AT_CODE_PROJECT_DATA, chunk));
            ASSERT_EQ(answers.size(), 1u);
            EXPECT_EQ(at_get_le32(&answers[0].bytes[16]), 35u);
        }
        // The writer still answers, and a project that fits still loads.
        kvat_writer_info info;
        EXPECT_EQ(kvat_get_writer_info(link.handle, &info), 1);
        const Bytes image(300, 0x5A);
        EXPECT_EQ(kvat_project_load(link.handle, "ok.pkg", "", image.data(), 300, nullptr, nullptr), 1);
        EXPECT_EQ(link.writer.project_count(), 1u);
    }
}

TEST(ModelFaults, RaisedRequestIsConsumedAndTheNextOneAnswered) {
    FaultSettings faults;
    faults.code = AT_CODE_TARGET_CONNECT;
    faults.raise = true;
    Link link({}, faults);
    EXPECT_THROW(link.raw(link.request(AT_CODE_TARGET_CONNECT, word(0))), std::runtime_error);
    auto answers = link.raw(link.request(AT_CODE_GET_WRITER_INFO, word(0)));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(reply_code(link.writer, answers[0]), AT_CODE_WRITER_INFO);

    // Three requests in one piece: the answer before the throw is kept, the request after it
    // is answered by the next call, without new bytes.
    Bytes stream = link.request(AT_CODE_GET_WRITER_INFO, word(0));
    for (const uint32_t code : {AT_CODE_TARGET_CONNECT, AT_CODE_GET_WRITER_CFG}) {
        const Bytes frame = link.request(code, word(0));
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    answers.clear();
    EXPECT_THROW(link.writer.receive(stream.data(), stream.size(), answers), std::runtime_error);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(reply_code(link.writer, answers[0]), AT_CODE_WRITER_INFO);
    link.writer.receive(stream.data(), 0, answers);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(reply_code(link.writer, answers[1]), AT_CODE_WRITER_CFG);
    EXPECT_FALSE(link.writer.connected());
}

TEST(ModelFaults, EachFaultDoesWhatItSays) {
    auto connect_with = [](FaultSettings f) {
        auto link = std::make_unique<Link>(WriterSettings{}, f);
        return link;
    };
    {
        FaultSettings f;
        f.code = AT_CODE_TARGET_READ;
        f.nack = 12;
        auto link = connect_with(f);
        EXPECT_EQ(kvat_target_connect(link->handle), 1);  // other codes unaffected
        kvat_memory_block b;
        EXPECT_EQ(kvat_target_read(link->handle, 0x08000000, 4, &b), 0);
        EXPECT_EQ(link->error(), 12u);
    }
    {
        // Only the second matching request is refused.
        FaultSettings f;
        f.code = AT_CODE_TARGET_CONNECT;
        f.nack = 9;
        f.only_nth = 2;
        auto link = connect_with(f);
        EXPECT_EQ(kvat_target_connect(link->handle), 1);
        EXPECT_EQ(kvat_target_status(link->handle), 1);
        EXPECT_EQ(kvat_target_connect(link->handle), 0);
        EXPECT_EQ(link->error(), 9u);
        EXPECT_EQ(kvat_target_connect(link->handle), 1);
    }
    {
        FaultSettings f;
        f.silent_once = true;
        auto link = connect_with(f);
        EXPECT_EQ(kvat_target_erase(link->handle, 30), 0);
        EXPECT_EQ(link->error(), 13u);
        EXPECT_EQ(kvat_target_connect(link->handle), 1);
    }
    {
        FaultSettings f;
        f.silent = true;
        f.code = AT_CODE_TARGET_CONNECT;
        auto link = connect_with(f);
        EXPECT_EQ(kvat_target_erase(link->handle, 30), 0);  // not connected: 9
        EXPECT_EQ(link->error(), 9u);
        EXPECT_TRUE(link->raw(link->request(AT_CODE_TARGET_CONNECT, word(0))).empty());
        EXPECT_TRUE(link->raw(link->request(AT_CODE_TARGET_CONNECT, word(0))).empty());
    }
    {
        FaultSettings f;
        f.corrupt_crc = true;
        auto link = connect_with(f);
        EXPECT_EQ(kvat_target_erase(link->handle, 30), 0);
        EXPECT_EQ(link->error(), 13u);  // a receive error (39), then the time-out
    }
    {
        FaultSettings f;
        f.garbage = 3;
        f.late_ms = 250;
        f.split = 5;
        auto link = connect_with(f);
        auto replies = link->raw(link->request(AT_CODE_TARGET_CONNECT, word(0)));
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].delay_ms, 250u);
        EXPECT_EQ(replies[0].split, 5u);
        EXPECT_EQ(replies[0].bytes.size(), 3u + 20u);
        EXPECT_EQ(replies[0].bytes[0], 0xA0);
        EXPECT_EQ(at_get_le32(&replies[0].bytes[3]), AT_MAGIC);
    }
    {
        FaultSettings f;
        f.disappear_after = 2;
        auto link = connect_with(f);
        EXPECT_EQ(kvat_target_connect(link->handle), 1);
        EXPECT_EQ(kvat_target_connect(link->handle), 1);
        EXPECT_FALSE(link->writer.gone());
        EXPECT_EQ(kvat_target_erase(link->handle, 30), 0);
        EXPECT_TRUE(link->writer.gone());
        EXPECT_TRUE(link->raw(link->request(AT_CODE_TARGET_CONNECT, word(0))).empty());
    }
}

TEST(ModelFrames, RandomBytesNeverBreakTheWriter) {
    for (bool encrypted : {false, true}) {
        WriterSettings s;
        s.encrypted = encrypted;
        VirtualWriter w(s);
        std::mt19937 rng(3);
        for (int round = 0; round < 2000; ++round) {
            Bytes junk(std::uniform_int_distribution<size_t>(0, 1500)(rng));
            for (auto &b : junk) b = static_cast<uint8_t>(rng());
            if (round % 3 == 0 && junk.size() >= 8) {
                at_put_le32(&junk[0], AT_MAGIC);
                at_put_le32(&junk[4], static_cast<uint32_t>(rng() % 1100));
            }
            w.receive(junk.data(), junk.size());
            if (round % 50 == 0) w.drop_partial();
        }
        w.drop_partial();
        const Bytes good = w.make_frame(AT_CODE_TARGET_CONNECT, word(0));
        EXPECT_EQ(w.receive(good.data(), good.size()).size(), 1u);
    }
}
