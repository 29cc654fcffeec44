#include "host/files/coverage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace kelvra::files {
namespace {

// The blocks as the sorted list of every written offset defines them, one entry per byte.
std::vector<firmware_block> blocks_by_walking(const std::vector<address_range> &writes, std::uint32_t lowest) {
    std::vector<std::uint64_t> offsets;
    for (const address_range &w : writes) {
        for (std::uint64_t a = w.first; a < w.end; ++a) offsets.push_back(a - lowest);
    }
    std::sort(offsets.begin(), offsets.end());
    std::vector<firmware_block> blocks;
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        if (i == 0 || offsets[i] != offsets[i - 1] + 1) {
            blocks.push_back({offsets[i], offsets[i] + 1, offsets[i] + lowest, offsets[i] + lowest + 1});
        } else {
            blocks.back().end_offset = offsets[i] + 1;
            blocks.back().end_address = offsets[i] + lowest + 1;
        }
    }
    return blocks;
}

void expect_same_blocks(const std::vector<address_range> &writes) {
    written_ranges written;
    std::uint64_t lowest = UINT64_MAX;
    for (const address_range &w : writes) {
        written.add(w.first, w.end);
        lowest = std::min(lowest, w.first);
    }
    const firmware_blocks blocks(written.segments(), static_cast<std::uint32_t>(lowest));
    const auto expected = blocks_by_walking(writes, static_cast<std::uint32_t>(lowest));
    ASSERT_EQ(blocks.count(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const firmware_block got = blocks.at(i);
        EXPECT_EQ(got.first_offset, expected[i].first_offset) << "block " << i;
        EXPECT_EQ(got.end_offset, expected[i].end_offset) << "block " << i;
        EXPECT_EQ(got.first_address, expected[i].first_address) << "block " << i;
        EXPECT_EQ(got.end_address, expected[i].end_address) << "block " << i;
    }
}

TEST(FirmwareBlocks, GapsAndRepeatedBytesCutBlocks) {
    expect_same_blocks({{0x1000, 0x1010}, {0x2000, 0x2010}});
    expect_same_blocks({{0x100, 0x110}, {0x10F, 0x11F}});   // one shared byte
    expect_same_blocks({{0, 16}, {8, 24}});                 // eight shared bytes
    expect_same_blocks({{0, 4}, {0, 4}, {0, 4}});           // the same record three times
    expect_same_blocks({{16, 32}, {0, 16}, {32, 48}});      // descending, then adjacent
    expect_same_blocks({{0xFFFFFFF0, 0x100000000}, {0, 1}}); // up to the last address
}

TEST(FirmwareBlocks, MatchesTheByteWalkOnRandomWrites) {
    std::mt19937 random(12345);
    for (int round = 0; round < 300; ++round) {
        std::vector<address_range> writes(1 + random() % 8);
        for (auto &w : writes) {
            w.first = 0x4000 + random() % 64;
            w.end = w.first + 1 + random() % 12;
        }
        expect_same_blocks(writes);
        if (HasFailure()) return;
    }
}

}  // namespace
}  // namespace kelvra::files
