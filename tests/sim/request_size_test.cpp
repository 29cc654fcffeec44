// The virtual writer's own request sizes against the host engine's, code by code, and what the
// writer answers to a request of the wrong size.
#include "sim/virtual_writer.h"

#include "core/kelvra_at_api.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

using kelvra::sim::Bytes;
using kelvra::sim::RequestPayloadSize;
using kelvra::sim::VirtualWriter;

// Codes 0 to 1023 hold every request; the status words and the far ends of the range must be
// unknown to both.
std::vector<uint32_t> codes_to_compare() {
    std::vector<uint32_t> codes;
    for (uint32_t code = 0; code < 1024; ++code) codes.push_back(code);
    for (const uint32_t code : {AT_STATUS_ACK, AT_STATUS_NACK, AT_STATUS_RUNNING, 0x10000u, 0xFFFFFFFFu})
        codes.push_back(code);
    return codes;
}

TEST(RequestSize, TheWritersListMatchesTheHostsForEveryCode) {
    // The length word of 109 sits at payload offset 4, that of 400 at 5: each frame carries
    // one length at one of the two places, so every code is compared with both.
    const uint32_t lengths[] = {0, 1, 7, 255, 256, 257, 0xFFFF, 0xFFFFFFF7u, 0xFFFFFFF8u, 0xFFFFFFFFu};
    int known = 0;
    for (const uint32_t code : codes_to_compare()) {
        for (const uint32_t length : lengths) {
            for (const uint32_t offset : {4u, 5u}) {
                std::array<uint8_t, AT_TX_FRAME_SIZE> frame{};
                at_put_le32(frame.data() + AT_PAYLOAD_OFFSET + offset, length);
                const uint8_t *payload = frame.data() + AT_PAYLOAD_OFFSET;
                EXPECT_EQ(RequestPayloadSize(code, payload, 16), _cmdGetPropertySize(frame.data(), code))
                    << "code " << code << ", length " << length << " at " << offset;
            }
        }
        if (RequestPayloadSize(code, nullptr, 0) != 0) ++known;
    }
    EXPECT_EQ(known, 26);  // every request code of the protocol
}

TEST(RequestSize, LengthWordBytesMissingFromThePayloadCountAsZero) {
    const Bytes short_write = {0, 0, 0, 0, 0x10, 0x01};  // 0x110 in two bytes, the rest absent
    EXPECT_EQ(RequestPayloadSize(AT_CODE_TARGET_WRITE, short_write.data(), short_write.size()), 8u + 0x110u);
    EXPECT_EQ(RequestPayloadSize(AT_CODE_BROADCAST, nullptr, 0), 9u);
    EXPECT_EQ(RequestPayloadSize(AT_CODE_SET_WRITER_CFG, nullptr, 0), 70u);
}

// The first payload word of a NACK, or -1 for any other answer.
int64_t refusal(VirtualWriter &writer, uint32_t code, const Bytes &payload) {
    const Bytes frame = writer.make_frame(code, payload);
    const auto replies = writer.receive(frame.data(), frame.size());
    if (replies.size() != 1) return -1;
    const Bytes &b = replies.front().bytes;
    if (b.size() < 20 || at_get_le32(&b[8]) != AT_STATUS_NACK) return -1;
    return at_get_le32(&b[16]);
}

TEST(RequestSize, WrongSizesAreRefused) {
    struct Case {
        const char *what;
        uint32_t code;
        Bytes payload;
        int64_t error;  // -1: not refused for its size
    };
    Bytes write_chunk(8 + 4, 0);
    write_chunk[4] = 4;  // four data bytes announced and carried
    Bytes write_short = write_chunk;
    write_short.pop_back();
    const Case cases[] = {
        {"info with its word", AT_CODE_GET_WRITER_INFO, Bytes(4), -1},
        {"info without", AT_CODE_GET_WRITER_INFO, {}, KVAT_ERR_PACKAGE_SIZE},
        {"configuration one short", AT_CODE_SET_WRITER_CFG, Bytes(69), KVAT_ERR_PACKAGE_SIZE},
        {"configuration, more than needed", AT_CODE_SET_WRITER_CFG, Bytes(71), -1},
        {"project switch one short", AT_CODE_PROJECT_SWITCH, Bytes(274), KVAT_ERR_PACKAGE_SIZE},
        {"write with its data", AT_CODE_TARGET_WRITE, write_chunk, KVAT_ERR_TARGET_NOT_CONNECTED},
        {"write missing a data byte", AT_CODE_TARGET_WRITE, write_short, KVAT_ERR_PACKAGE_SIZE},
        {"response code as a request", AT_CODE_WRITER_INFO, Bytes(4), KVAT_ERR_UNSUPPORTED},
        {"unknown code", 999, Bytes(64), KVAT_ERR_UNSUPPORTED},
    };
    for (const auto &c : cases) {
        VirtualWriter writer;
        EXPECT_EQ(refusal(writer, c.code, c.payload), c.error) << c.what;
    }
}

}  // namespace
