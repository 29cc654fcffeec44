// The transaction engine behind the exports: argument refusal, exact frames, failures, the
// receive path and the key store.
#include "writer_double.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kvat_test;

namespace {

int count_events(const WriterDouble &w, int event) {
    return static_cast<int>(std::count(w.events.begin(), w.events.end(), event));
}

// Restores the process-wide key store for the tests that change it.
struct DefaultKeyGuard {
    ~DefaultKeyGuard() {
        WriterDouble w(false);
        kvat_set_encrypt_key_iv(w.handle, nullptr, nullptr);
    }
};

}  // namespace

TEST(Handle, VersionNullHandleAndCreation) {
    EXPECT_EQ(kvat_version(), 0x10000u);
    EXPECT_EQ(kvat_last_error(nullptr), 44u);
    EXPECT_EQ(kvat_create(0, nullptr, nullptr, nullptr), nullptr);
    kvat_destroy(nullptr);

    auto write = [](void *, const uint8_t *, uint32_t, uint32_t) { return 1; };
    kvat_handle *h = kvat_create(7, write, nullptr, nullptr);  // any non-zero flag encrypts
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(kvat_last_error(h), 0u);
    kvat_destroy(h);
}

TEST(Handle, NullHandleIsRefusedByEveryExport) {
    uint8_t buf[2048] = {};
    auto *out = buf;
    kvat_handle *h = nullptr;
    EXPECT_EQ(kvat_feed(h, buf, 4), 0);
    EXPECT_EQ(kvat_set_encrypt_key_iv(h, buf, buf), 0);
    EXPECT_EQ(kvat_get_writer_info(h, reinterpret_cast<kvat_writer_info *>(out)), 0);
    EXPECT_EQ(kvat_get_writer_config(h, reinterpret_cast<kvat_writer_config *>(out)), 0);
    EXPECT_EQ(kvat_set_writer_config(h, reinterpret_cast<kvat_writer_config *>(out)), 0);
    EXPECT_EQ(kvat_set_baudrate(h, 9600), 0);
    EXPECT_EQ(kvat_target_connect(h), 0);
    EXPECT_EQ(kvat_target_status(h), 0);
    EXPECT_EQ(kvat_target_get_id(h, reinterpret_cast<kvat_chip_id *>(out)), 0);
    EXPECT_EQ(kvat_target_read(h, 0, 4, reinterpret_cast<kvat_memory_block *>(out)), 0);
    EXPECT_EQ(kvat_target_erase(h, 10), 0);
    EXPECT_EQ(kvat_target_erase_sector(h, 0, 4, 10), 0);
    EXPECT_EQ(kvat_target_write_prepare(h, 4), 0);
    EXPECT_EQ(kvat_target_write(h, 0, buf, 4), 0);
    EXPECT_EQ(kvat_target_read_ob(h, reinterpret_cast<kvat_option_bytes *>(out)), 0);
    EXPECT_EQ(kvat_target_write_vendor_ob(h, 10), 0);
    EXPECT_EQ(kvat_target_write_user_ob(h, 10), 0);
    EXPECT_EQ(kvat_target_reset(h, 3), 0);
    EXPECT_EQ(kvat_project_info(h, reinterpret_cast<kvat_project_info_record *>(out)), 0);
    EXPECT_EQ(kvat_project_disable(h), 0);
    EXPECT_EQ(kvat_project_load(h, "n", "p", buf, 4, nullptr, nullptr), 0);
    EXPECT_EQ(kvat_project_switch(h, 0, "n", "p"), 0);
    EXPECT_EQ(kvat_offline_start(h), 0);
    EXPECT_EQ(kvat_offline_status(h, reinterpret_cast<kvat_offline_state *>(out)), 0);
    EXPECT_EQ(kvat_factory_run_sram_fw(h, 10), 0);
    EXPECT_EQ(kvat_factory_run_flash_fw(h, 10), 0);
    EXPECT_EQ(kvat_broadcast(h, buf, 4, 0, 0, 0, 10, nullptr), 0);
    for (uint8_t b : buf) ASSERT_EQ(b, 0);
}

TEST(Handle, MissingArgumentsAreRefusedBeforeSending) {
    WriterDouble w(false);
    w.respond = [&w](const Request &) { return std::optional<Bytes>(w.nack(9)); };
    ASSERT_EQ(kvat_target_connect(w.handle), 0);  // last error 9 from here on
    w.requests.clear();
    uint8_t buf[16] = {};
    kvat_handle *h = w.handle;
    EXPECT_EQ(kvat_get_writer_info(h, nullptr), 0);
    EXPECT_EQ(kvat_get_writer_config(h, nullptr), 0);
    EXPECT_EQ(kvat_set_writer_config(h, nullptr), 0);
    EXPECT_EQ(kvat_target_get_id(h, nullptr), 0);
    EXPECT_EQ(kvat_target_read(h, 0, 4, nullptr), 0);
    EXPECT_EQ(kvat_target_read(h, 0, 0, reinterpret_cast<kvat_memory_block *>(buf)), 0);
    EXPECT_EQ(kvat_target_write(h, 0, nullptr, 4), 0);
    EXPECT_EQ(kvat_target_write(h, 0, buf, 0), 0);
    EXPECT_EQ(kvat_target_read_ob(h, nullptr), 0);
    EXPECT_EQ(kvat_project_info(h, nullptr), 0);
    EXPECT_EQ(kvat_project_load(h, nullptr, "p", buf, 4, nullptr, nullptr), 0);
    EXPECT_EQ(kvat_project_load(h, "n", nullptr, buf, 4, nullptr, nullptr), 0);
    EXPECT_EQ(kvat_project_load(h, "n", "p", nullptr, 4, nullptr, nullptr), 0);
    EXPECT_EQ(kvat_project_load(h, "n", "p", buf, 0, nullptr, nullptr), 0);
    EXPECT_EQ(kvat_project_switch(h, 0, nullptr, "p"), 0);
    EXPECT_EQ(kvat_project_switch(h, 0, "n", nullptr), 0);
    EXPECT_EQ(kvat_offline_status(h, nullptr), 0);
    EXPECT_EQ(kvat_broadcast(h, nullptr, 4, 0, 0, 0, 10, nullptr), 0);
    EXPECT_EQ(kvat_broadcast(h, buf, 0, 0, 0, 0, 10, nullptr), 0);
    EXPECT_TRUE(w.requests.empty());
    EXPECT_EQ(kvat_last_error(h), 9u);
}

TEST(Frames, WriterInfoRequestPlainAndEncrypted) {
    WriterDouble plain(false);
    plain.respond = [&plain](const Request &) { return std::optional<Bytes>(plain.nack(2)); };
    kvat_writer_info info;
    EXPECT_EQ(kvat_get_writer_info(plain.handle, &info), 0);
    const Bytes &f = plain.requests.at(0).raw;
    Bytes expected = {'K', 'V', 'A', 'T', 24, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0};
    put32(expected, zcrc(expected.data(), 20));
    EXPECT_EQ(f, expected);
    EXPECT_EQ(kvat_last_error(plain.handle), 2u);

    WriterDouble enc(true);
    enc.respond = [](const Request &) { return std::nullopt; };
    EXPECT_EQ(kvat_target_erase(enc.handle, 0), 0);
    const Request &r = enc.requests.at(0);
    ASSERT_EQ(r.raw.size(), 28u);
    EXPECT_EQ(le32(&r.raw[4]), 28u);
    EXPECT_TRUE(r.crc_ok);
    EXPECT_EQ(r.code, 106u);
    // The body is encrypted; the CRC over the plain first 24 bytes is not.
    Bytes plain_frame = {'K', 'V', 'A', 'T', 28, 0, 0, 0, 106, 0, 0, 0, 4, 0, 0, 0};
    plain_frame.resize(24, 0);
    EXPECT_NE(Bytes(r.raw.begin() + 8, r.raw.begin() + 24), Bytes(plain_frame.begin() + 8, plain_frame.end()));
    EXPECT_EQ(le32(&r.raw[24]), zcrc(plain_frame.data(), 24));
}

TEST(Frames, SamePlainBodyGivesSameCipherText) {
    WriterDouble w(true);
    ASSERT_EQ(kvat_target_connect(w.handle), 1);
    ASSERT_EQ(kvat_target_connect(w.handle), 1);
    EXPECT_EQ(w.requests[0].raw, w.requests[1].raw);
}

TEST(Failures, WriteFailureTimeOutAndWrongAnswers) {
    WriterDouble w(false);
    w.write_result = 0;
    EXPECT_EQ(kvat_target_connect(w.handle), 0);
    EXPECT_EQ(kvat_last_error(w.handle), 38u);

    w.write_result = 1;
    w.respond = [](const Request &) { return std::nullopt; };
    EXPECT_EQ(kvat_target_erase(w.handle, 0), 0);
    EXPECT_EQ(kvat_last_error(w.handle), 13u);
    EXPECT_EQ(kvat_target_erase_sector(w.handle, 0, 16, 30), 0);
    EXPECT_EQ(kvat_last_error(w.handle), 13u);

    // An ACK where data was expected fails with last error 0 and leaves the output alone.
    w.respond = [&w](const Request &) { return std::optional<Bytes>(w.ack()); };
    kvat_writer_config cfg;
    std::memset(&cfg, 0xCC, sizeof cfg);
    EXPECT_EQ(kvat_get_writer_config(w.handle, &cfg), 0);
    EXPECT_EQ(kvat_last_error(w.handle), 0u);
    for (size_t i = 0; i < sizeof cfg; ++i) EXPECT_EQ(reinterpret_cast<uint8_t *>(&cfg)[i], 0xCC);

    // A data answer with another code fails and leaves the last error unchanged.
    w.respond = [&w](const Request &) { return std::optional<Bytes>(w.nack(12)); };
    kvat_memory_block block;
    EXPECT_EQ(kvat_target_read(w.handle, 0, 4, &block), 0);
    EXPECT_EQ(kvat_last_error(w.handle), 12u);
    w.respond = [&w](const Request &) { return std::optional<Bytes>(w.frame(103, Bytes(17, 1))); };
    EXPECT_EQ(kvat_target_read(w.handle, 0, 4, &block), 0);
    EXPECT_EQ(kvat_last_error(w.handle), 12u);
}

TEST(Failures, OfflineStatusWithoutAnAnswer) {
    WriterDouble w(false);
    // A NACK answer earlier must not make a later failed poll look like "failed".
    w.respond = [&w](const Request &) { return std::optional<Bytes>(w.nack(3)); };
    kvat_offline_state st;
    ASSERT_EQ(kvat_offline_status(w.handle, &st), 1);
    EXPECT_EQ(st.state, 2);

    w.write_result = 0;
    EXPECT_EQ(kvat_offline_status(w.handle, &st), 0);
    EXPECT_EQ(st.state, -1);
    EXPECT_EQ(st.error, 38);

    w.write_result = 1;
    w.respond = [](const Request &) { return std::nullopt; };
    EXPECT_EQ(kvat_offline_status(w.handle, &st), 0);  // waits the full 5 s
    EXPECT_EQ(st.state, -1);
    EXPECT_EQ(st.error, 13);
    EXPECT_EQ(st.progress0, 0u);
}

TEST(Failures, BroadcastWithoutAwaitedAnswer) {
    WriterDouble w(false);
    w.respond = [](const Request &) { return std::nullopt; };
    const char data[] = "hello";
    EXPECT_EQ(kvat_broadcast(w.handle, data, 6, 0, 0, 0, 5000, nullptr), 1);
    EXPECT_EQ(kvat_last_error(w.handle), 13u);
    EXPECT_EQ(w.requests.back().timeout_ms, 100u);
    // With an awaited answer, silence fails.
    EXPECT_EQ(kvat_broadcast(w.handle, data, 6, 0, 0, 1, 30, nullptr), 0);
    // A plain ACK is not a broadcast answer.
    w.respond = [&w](const Request &) { return std::optional<Bytes>(w.ack()); };
    EXPECT_EQ(kvat_broadcast(w.handle, data, 6, 0, 0, 0, 5000, nullptr), 0);
}

// ---- Receive path ----

class Receive : public testing::TestWithParam<bool> {
protected:
    Receive() : w(GetParam()) {}
    int feed(const Bytes &b) {
        return kvat_feed(w.handle, b.data(), static_cast<uint32_t>(b.size()));
    }
    WriterDouble w;
};

TEST_P(Receive, GarbageInFrontOfAFrameInOneFeedIsAnError) {
    Bytes b = {0x00};
    const Bytes ack = w.ack();
    b.insert(b.end(), ack.begin(), ack.end());
    EXPECT_EQ(feed(b), 0);
    EXPECT_EQ(w.events, std::vector<int>{AT_EVENT_ERROR});
    EXPECT_EQ(kvat_last_error(w.handle), 39u);
    // The buffer was emptied: the next feed starts a new frame.
    EXPECT_EQ(feed(ack), 1);
    EXPECT_EQ(w.events.back(), AT_EVENT_FRAME);
}

TEST_P(Receive, AcceptedFrameIsAcceptedAgainUntilTheNextSend) {
    const Bytes ack = w.ack();
    Bytes b = ack;
    b.push_back(0xEE);  // a stray byte behind the frame stays in the buffer
    EXPECT_EQ(feed(b), 1);
    EXPECT_EQ(kvat_feed(w.handle, b.data(), 0), 1);  // length 0 analyses again
    EXPECT_EQ(feed({0x01, 0x02}), 1);
    EXPECT_EQ(count_events(w, AT_EVENT_FRAME), 3);
    EXPECT_EQ(count_events(w, AT_EVENT_ERROR), 0);
    EXPECT_EQ(kvat_feed(w.handle, nullptr, 5), 0);
    EXPECT_EQ(kvat_feed(w.handle, nullptr, 0), 0);
    EXPECT_EQ(count_events(w, AT_EVENT_FRAME), 3);  // a null feed does not even analyse
}

TEST_P(Receive, BadCrcThenValidAnswerStillCompletes) {
    Bytes bad = w.ack();
    bad.back() ^= 0x01;
    const Bytes good = w.ack();
    w.respond = [&](const Request &) {
        feed(bad);
        return std::optional<Bytes>(good);
    };
    EXPECT_EQ(kvat_target_connect(w.handle), 1);
    EXPECT_EQ(kvat_last_error(w.handle), 0u);
    EXPECT_EQ(w.events, (std::vector<int>{AT_EVENT_ERROR, AT_EVENT_FRAME}));

    // A data answer after the error succeeds but leaves 39 in place.
    uint8_t id[17] = {2, 0xAB, 0xCD};
    const Bytes data = w.data(AT_CODE_TARGET_ID, id, sizeof id);
    w.respond = [&](const Request &) {
        feed(bad);
        return std::optional<Bytes>(data);
    };
    kvat_chip_id out;
    EXPECT_EQ(kvat_target_get_id(w.handle, &out), 1);
    EXPECT_EQ(out.count, 2);
    EXPECT_EQ(kvat_last_error(w.handle), 39u);
}

TEST_P(Receive, LengthFieldLimits) {
    auto with_length = [](uint32_t length) {
        Bytes b = {'K', 'V', 'A', 'T'};
        put32(b, length);
        return b;
    };
    for (uint32_t length : {0u, 11u, 1064u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(length);
        w.events.clear();
        EXPECT_EQ(feed(with_length(length)), 0);
        EXPECT_EQ(w.events, std::vector<int>{AT_EVENT_ERROR});
    }
    // Fewer than 4 bytes of a wrong magic wait for more; the fourth decides.
    w.events.clear();
    EXPECT_EQ(feed({'X', 'Y', 'Z'}), 0);
    EXPECT_TRUE(w.events.empty());
    EXPECT_EQ(feed({'W'}), 0);
    EXPECT_EQ(w.events, std::vector<int>{AT_EVENT_ERROR});
}

TEST_P(Receive, ShortButWellFormedFrameCarriesNoStaleBytes) {
    // A frame of only magic, length and CRC has no code. After an ACK it must not read as
    // that ACK again: the received frame holds nothing of the previous one.
    ASSERT_EQ(kvat_target_connect(w.handle), 1);
    Bytes f = {'K', 'V', 'A', 'T', 12, 0, 0, 0};
    put32(f, zcrc(f.data(), 8));
    w.respond = [&](const Request &) { return std::optional<Bytes>(f); };
    EXPECT_EQ(kvat_target_connect(w.handle), 0);
    EXPECT_EQ(w.events.back(), AT_EVENT_FRAME);
}

INSTANTIATE_TEST_SUITE_P(Links, Receive, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &i) {
                             return i.param ? "Encrypted" : "Plain";
                         });

TEST(ReceivePlain, LongestFrameIsAnalysed) {
    WriterDouble w(false);
    const Bytes longest = w.frame(999, Bytes(1063 - 20, 0x5A));
    ASSERT_EQ(longest.size(), 1063u);
    EXPECT_EQ(kvat_feed(w.handle, longest.data(), 1063), 1);
    // More than 1064 bytes in one feed wrap to the start of the buffer; the overwritten magic
    // then fails.
    WriterDouble v(false);
    Bytes lead = {'K', 'V', 'A', 'T'};
    put32(lead, 1063);
    lead.resize(1068, 0x00);
    EXPECT_EQ(kvat_feed(v.handle, lead.data(), 1068), 0);
    EXPECT_EQ(v.events, std::vector<int>{AT_EVENT_ERROR});
}

TEST(KeyStore, CustomKeyDefaultsAndHalfCalls) {
    DefaultKeyGuard guard;
    WriterDouble w(true);
    const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const uint8_t iv[16] = {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};

    ASSERT_EQ(kvat_set_encrypt_key_iv(w.handle, key, iv), 1);
    std::memcpy(w.cipher.key, key, 16);
    std::memcpy(w.cipher.iv, iv, 16);
    EXPECT_EQ(kvat_target_connect(w.handle), 1);
    EXPECT_TRUE(w.requests.back().crc_ok);

    // Exactly one null pointer changes nothing.
    const uint8_t other[16] = {};
    EXPECT_EQ(kvat_set_encrypt_key_iv(w.handle, other, nullptr), 1);
    EXPECT_EQ(kvat_set_encrypt_key_iv(w.handle, nullptr, other), 1);
    EXPECT_EQ(kvat_target_connect(w.handle), 1);

    // Both null: back to the built-in defaults; the old key no longer decodes.
    EXPECT_EQ(kvat_set_encrypt_key_iv(w.handle, nullptr, nullptr), 1);
    EXPECT_EQ(kvat_target_erase(w.handle, 50), 0);
    EXPECT_FALSE(w.requests.back().crc_ok);
    w.cipher = Cipher();
    EXPECT_EQ(kvat_target_connect(w.handle), 1);
    EXPECT_TRUE(w.requests.back().crc_ok);
}

// Random bytes, truncated frames and frames with wrong fields in random slices: the receive
// path only ever reports errors or frames, and a good frame after an error still gets in.
TEST(ReceiveRobustness, RandomInputNeverBreaksTheReceiver) {
    for (bool encrypted : {false, true}) {
        WriterDouble w(encrypted);
        std::mt19937 rng(encrypted ? 11 : 10);
        const Bytes good = w.ack();
        for (int round = 0; round < 3000; ++round) {
            Bytes junk(std::uniform_int_distribution<size_t>(0, 1200)(rng));
            for (auto &b : junk) b = static_cast<uint8_t>(rng());
            switch (round % 4) {
                case 1:  // a real header with a random length
                    junk.insert(junk.begin(), good.begin(), good.begin() + 4);
                    break;
                case 2:  // a truncated good frame
                    junk.assign(good.begin(), good.begin() + static_cast<long>(rng() % good.size()));
                    break;
                case 3: {  // a good frame with one byte flipped
                    junk = good;
                    junk[rng() % junk.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
                    break;
                }
                default:
                    break;
            }
            kvat_feed(w.handle, junk.data(), static_cast<uint32_t>(junk.size()));
        }
        // Whatever state the garbage left, an error resets the buffer; after at most one
        // more error the good frame is accepted.
        const Bytes reset = {'X', 'X', 'X', 'X'};
        kvat_feed(w.handle, reset.data(), 4);
        EXPECT_EQ(kvat_feed(w.handle, good.data(), static_cast<uint32_t>(good.size())), 1);
    }
}
