// A scripted writer for the library's tests. It sits behind the write callback: it decodes
// every request (magic, length, CRC, decryption) on its own, asks the test's responder for the
// answer, and feeds the answer back into the handle from inside the callback, whole or in
// slices. Its CRC is zlib's and its AES the plain reference model, so checksum and cipher are
// checked independently of the core, whichever AES path the core takes.
#pragma once

#include "kelvra_at.h"

#include "reference_aes.h"

#include <zlib.h>

#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <vector>

namespace kvat_test {

using Bytes = std::vector<uint8_t>;

inline uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline void put32(Bytes &out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline uint32_t zcrc(const uint8_t *p, size_t n) {
    return static_cast<uint32_t>(::crc32(0L, p, static_cast<uInt>(n)));
}

constexpr uint8_t kDefaultKey[16] = {0x5c, 0x2e, 0x9a, 0x17, 0xb0, 0x4d, 0x83, 0xf6,
                                     0xe9, 0x1a, 0x27, 0xc0, 0x4b, 0x6d, 0x58, 0xe3};
constexpr uint8_t kDefaultIv[16] = {0xa4, 0xf0, 0x13, 0x7b, 0xe9, 0x5c, 0x26, 0xd8,
                                    0x01, 0x7e, 0x4b, 0xc9, 0x3a, 0x58, 0xd2, 0x1f};

struct Cipher {
    uint8_t key[16];
    uint8_t iv[16];
    Cipher() {
        std::memcpy(key, kDefaultKey, 16);
        std::memcpy(iv, kDefaultIv, 16);
    }
    void apply(uint8_t *p, size_t n, bool encrypt) const { ref_aes::cbc(key, iv, p, n, encrypt); }
};

// Builds a frame as a writer sends it. `pad` fills the encryption padding.
inline Bytes make_frame(uint32_t code, const Bytes &payload, const Cipher *cipher,
                        uint8_t pad = 0) {
    const uint32_t p = static_cast<uint32_t>(payload.size());
    uint32_t body = p + 8;
    if (cipher != nullptr) body = (body + 15) / 16 * 16;
    Bytes f;
    put32(f, 0x5441564Bu);
    put32(f, body + 12);
    put32(f, code);
    put32(f, p);
    f.insert(f.end(), payload.begin(), payload.end());
    f.resize(8 + body, pad);
    const uint32_t crc = zcrc(f.data(), f.size());
    if (cipher != nullptr) cipher->apply(f.data() + 8, body, true);
    put32(f, crc);
    return f;
}

struct Request {
    uint32_t length = 0;   // length field
    uint32_t code = 0;
    uint32_t payload_length = 0;
    Bytes payload;         // the declared payload bytes
    Bytes raw;             // the frame exactly as written
    uint32_t timeout_ms = 0;
    bool crc_ok = false;
    Bytes padding;         // plain padding bytes of an encrypted frame
};

enum class Feed { Whole, ByteByByte, RandomSlices };

class WriterDouble {
public:
    using Responder = std::function<std::optional<Bytes>(const Request &)>;

    explicit WriterDouble(bool encrypted, kvat_event_fn event = nullptr)
        : encrypted_(encrypted) {
        handle = kvat_create(encrypted ? 1 : 0, &WriterDouble::write_cb,
                             event != nullptr ? event : &WriterDouble::event_cb, this);
    }
    ~WriterDouble() { kvat_destroy(handle); }
    WriterDouble(const WriterDouble &) = delete;
    WriterDouble &operator=(const WriterDouble &) = delete;

    // Answer frames built with this double's cipher.
    Bytes frame(uint32_t code, const Bytes &payload) const {
        return make_frame(code, payload, encrypted_ ? &cipher : nullptr);
    }
    Bytes ack() const { return frame(AT_STATUS_ACK, {}); }
    Bytes nack(uint32_t error) const {
        Bytes p;
        put32(p, error);
        return frame(AT_STATUS_NACK, p);
    }
    Bytes data(uint32_t code, const void *record, size_t size) const {
        const auto *b = static_cast<const uint8_t *>(record);
        return frame(code, Bytes(b, b + size));
    }

    kvat_handle *handle = nullptr;
    Responder respond = [this](const Request &) { return std::optional<Bytes>(ack()); };
    Feed feed = Feed::Whole;
    int write_result = 1;
    Cipher cipher;
    std::vector<Request> requests;
    std::vector<int> events;
    std::mt19937 rng{1234};

private:
    static int write_cb(void *user, const uint8_t *frame, uint32_t length, uint32_t timeout_ms) {
        auto *self = static_cast<WriterDouble *>(user);
        self->requests.push_back(self->decode(frame, length, timeout_ms));
        if (self->write_result == 0) return 0;
        if (auto answer = self->respond(self->requests.back())) self->deliver(*answer);
        return self->write_result;
    }
    static void event_cb(void *user, int event) {
        static_cast<WriterDouble *>(user)->events.push_back(event);
    }

    Request decode(const uint8_t *frame, uint32_t length, uint32_t timeout_ms) const {
        Request r;
        r.raw.assign(frame, frame + length);
        r.timeout_ms = timeout_ms;
        if (length < 12 || le32(frame) != 0x5441564Bu) return r;
        r.length = le32(frame + 4);
        Bytes plain = r.raw;
        if (encrypted_) cipher.apply(plain.data() + 8, length - 12, false);
        r.crc_ok = r.length == length && zcrc(plain.data(), length - 4) == le32(frame + length - 4);
        r.code = le32(plain.data() + 8);
        r.payload_length = le32(plain.data() + 12);
        const size_t end = std::min<size_t>(16 + r.payload_length, length - 4);
        r.payload.assign(plain.begin() + 16, plain.begin() + static_cast<long>(end));
        r.padding.assign(plain.begin() + static_cast<long>(end), plain.end() - 4);
        return r;
    }

    void deliver(const Bytes &answer) {
        if (feed == Feed::Whole) {
            kvat_feed(handle, answer.data(), static_cast<uint32_t>(answer.size()));
            return;
        }
        size_t pos = 0;
        while (pos < answer.size()) {
            size_t n = 1;
            if (feed == Feed::RandomSlices) n = std::uniform_int_distribution<size_t>(1, 40)(rng);
            n = std::min(n, answer.size() - pos);
            kvat_feed(handle, answer.data() + pos, static_cast<uint32_t>(n));
            pos += n;
        }
    }

    bool encrypted_;
};

}  // namespace kvat_test
