// Encrypted links end to end, checked against the reference AES model of the writer double:
// random requests and answers of every body length, with the default and a set key, and the
// frames the receiver must refuse. CTest runs this binary once per AES path.
#include "writer_double.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kvat_test;

namespace {

struct DefaultKeyGuard {
    ~DefaultKeyGuard() {
        WriterDouble w(false);
        kvat_set_encrypt_key_iv(w.handle, nullptr, nullptr);
    }
};

Bytes random_bytes(std::mt19937 &rng, size_t n) {
    Bytes v(n);
    for (auto &b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// Writes of 1 to 256 bytes (request bodies of 1 to 17 blocks) and reads of the same sizes,
// whose answers the reference model encrypts: every request decrypts to the right payload
// and zero padding, and every answer arrives intact.
void random_traffic(WriterDouble &w, std::mt19937 &rng) {
    for (int i = 0; i < 60; ++i) {
        SCOPED_TRACE(i);
        const uint32_t length = std::uniform_int_distribution<uint32_t>(1, 256)(rng);
        const Bytes data = random_bytes(rng, length);
        ASSERT_EQ(kvat_target_write(w.handle, 0x08000000u + 256u * i, data.data(), length), 1);
        const Request &r = w.requests.back();
        ASSERT_TRUE(r.crc_ok);
        EXPECT_EQ((r.raw.size() - 12) % 16, 0u);
        EXPECT_EQ(r.code, 109u);
        EXPECT_EQ(Bytes(r.payload.begin() + 8, r.payload.end()), data);
        EXPECT_EQ(r.padding, Bytes(r.padding.size(), 0));

        Bytes block(8);
        std::memcpy(block.data(), r.payload.data(), 8);
        block.insert(block.end(), data.begin(), data.end());
        w.respond = [&](const Request &) { return std::optional<Bytes>(w.frame(105, block)); };
        kvat_memory_block out;
        ASSERT_EQ(kvat_target_read(w.handle, 0x08000000u + 256u * i, length, &out), 1);
        EXPECT_EQ(Bytes(out.data, out.data + length), data);
        w.respond = [&](const Request &) { return std::optional<Bytes>(w.ack()); };
    }
}

}  // namespace

TEST(CipherFrames, RandomTrafficWithTheDefaultKey) {
    WriterDouble w(true);
    std::mt19937 rng(7);
    random_traffic(w, rng);
}

TEST(CipherFrames, RandomTrafficWithASetKeyThenTheDefaultAgain) {
    DefaultKeyGuard guard;
    std::mt19937 rng(8);
    WriterDouble w(true);
    const Bytes key = random_bytes(rng, 16), iv = random_bytes(rng, 16);
    ASSERT_EQ(kvat_set_encrypt_key_iv(w.handle, key.data(), iv.data()), 1);
    std::memcpy(w.cipher.key, key.data(), 16);
    std::memcpy(w.cipher.iv, iv.data(), 16);
    random_traffic(w, rng);
    // A second key replaces the first one's expanded schedule.
    const Bytes key2 = random_bytes(rng, 16);
    ASSERT_EQ(kvat_set_encrypt_key_iv(w.handle, key2.data(), iv.data()), 1);
    std::memcpy(w.cipher.key, key2.data(), 16);
    random_traffic(w, rng);
    ASSERT_EQ(kvat_set_encrypt_key_iv(w.handle, nullptr, nullptr), 1);
    w.cipher = Cipher();
    random_traffic(w, rng);
}

// Frames the receiver refuses on an encrypted link, whatever the cipher path: a body that is
// not whole blocks (even with a CRC that would match), a frame shorter than its header, and a
// body encrypted with another key. A good answer still gets in after each.
TEST(CipherFrames, MalformedEncryptedFramesAreRefused) {
    auto with_body = [](size_t body_length) {
        Bytes f;
        put32(f, 0x5441564Bu);
        put32(f, static_cast<uint32_t>(body_length + 12));
        put32(f, AT_STATUS_ACK);
        put32(f, 0);
        f.resize(8 + body_length, 0);
        put32(f, zcrc(f.data(), f.size()));
        return f;
    };
    Cipher other;
    other.key[0] ^= 0x01;
    const struct {
        const char *name;
        Bytes frame;
    } cases[] = {
        {"body of 8 bytes", with_body(8)},
        {"body of 15 bytes", with_body(15)},
        {"body of 17 bytes", with_body(17)},
        {"body of 40 bytes", with_body(40)},
        {"length 11", [] { Bytes f = {'K', 'V', 'A', 'T', 11, 0, 0, 0, 0, 0, 0}; return f; }()},
        {"length 8", [] { Bytes f = {'K', 'V', 'A', 'T', 8, 0, 0, 0}; return f; }()},
        {"another key", make_frame(AT_STATUS_ACK, {}, &other)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        WriterDouble w(true);
        EXPECT_EQ(kvat_feed(w.handle, c.frame.data(), static_cast<uint32_t>(c.frame.size())), 0);
        EXPECT_EQ(w.events, std::vector<int>{AT_EVENT_ERROR});
        EXPECT_EQ(kvat_last_error(w.handle), static_cast<uint32_t>(KVAT_ERR_PACKAGE));
        const Bytes ack = w.ack();
        EXPECT_EQ(kvat_feed(w.handle, ack.data(), static_cast<uint32_t>(ack.size())), 1);
        EXPECT_EQ(w.events.back(), AT_EVENT_FRAME);
    }
}
