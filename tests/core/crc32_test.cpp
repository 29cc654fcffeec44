#include "core/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

TEST(Crc32, CheckValueAndEmptyBlock) {
    EXPECT_EQ(::crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(::crc32("", 0), 0u);
    EXPECT_EQ(::crc32("abc", -5), 0u);
    EXPECT_EQ(::crc32(nullptr, 0), 0u);
}

// Every length from 0 to 300 (all tails of the 4-byte slicing) and a few large blocks, at
// unaligned starts, against zlib.
TEST(Crc32, MatchesZlibOnRandomBlocks) {
    std::mt19937 rng(7);
    std::vector<uint8_t> data(70000);
    for (auto &b : data) b = static_cast<uint8_t>(rng());
    auto zlib_crc = [&](size_t off, size_t len) {
        return static_cast<uint32_t>(::crc32(0L, data.data() + off, static_cast<uInt>(len)));
    };
    for (size_t len = 0; len <= 300; ++len) {
        for (size_t off = 0; off < 4; ++off) {
            ASSERT_EQ(::crc32(data.data() + off, static_cast<int32_t>(len)), zlib_crc(off, len))
                << "len " << len << " off " << off;
        }
    }
    EXPECT_EQ(::crc32(data.data() + 1, 69999), zlib_crc(1, 69999));
}

TEST(Crc32, UpdateContinuesAcrossBlocks) {
    const char text[] = "the quick brown fox jumps over the lazy dog";
    const uint32_t whole = ::crc32(text, 43);
    for (uint32_t split = 0; split <= 43; ++split) {
        EXPECT_EQ(crc32_update(crc32_update(0, text, split), text + split, 43 - split), whole);
    }
}
