// Which addresses the data records of an image wrote, and how often. Kept as address ranges
// rather than one entry per byte, so that a 16 MiB image costs a few ranges, not 64 MiB of
// offsets, and a selected block can be located before any image byte is stored.
#pragma once

#include <cstdint>
#include <vector>

namespace kelvra::files {

// Addresses [first, end); `end` may be 2^32.
struct address_range {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
};

// A run of addresses that data records wrote exactly `depth` times.
struct coverage_segment {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    std::uint32_t depth = 0;
};

// The written ranges in record order; a record that continues the previous one extends it.
class written_ranges {
public:
    void add(std::uint64_t first, std::uint64_t end);
    bool empty() const { return ranges_.empty(); }
    // Ascending, non-overlapping segments with their write counts; unwritten gaps are left out.
    std::vector<coverage_segment> segments() const;

private:
    std::vector<address_range> ranges_;
};

// One firmware block: offsets inside the padded image (end exclusive) and the matching addresses.
struct firmware_block {
    std::uint64_t first_offset = 0;
    std::uint64_t end_offset = 0;
    std::uint64_t first_address = 0;
    std::uint64_t end_address = 0;
};

// The firmware blocks of an Intel HEX image: the sorted list of written offsets cut wherever an
// offset is not the previous one + 1, so a gap or a byte written twice starts a new block. The
// blocks are computed from the segments on demand, because a file that writes its bytes twice
// has as many blocks as bytes.
class firmware_blocks {
public:
    firmware_blocks() = default;
    firmware_blocks(std::vector<coverage_segment> segments, std::uint32_t lowest_address);

    std::uint64_t count() const { return starts_.empty() ? 0 : starts_.back(); }
    firmware_block at(std::uint64_t index) const;  // index < count()

private:
    bool starts_run(std::size_t segment) const;
    std::uint64_t end_after(std::size_t segment, std::uint64_t address) const;
    firmware_block make(std::uint64_t first, std::uint64_t end) const;

    std::vector<coverage_segment> segments_;
    std::vector<std::uint64_t> starts_;  // starts_[i]: blocks that begin in segments 0..i
    std::uint32_t lowest_ = 0;
};

}  // namespace kelvra::files
