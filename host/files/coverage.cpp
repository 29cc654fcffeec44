#include "host/files/coverage.h"

#include <algorithm>
#include <utility>

namespace kelvra::files {

void written_ranges::add(std::uint64_t first, std::uint64_t end) {
    if (!ranges_.empty()) {
        address_range &last = ranges_.back();
        if (last.end == first) {
            last.end = end;
            return;
        }
        if (last.first == end) {
            last.first = first;
            return;
        }
    }
    ranges_.push_back({first, end});
}

std::vector<coverage_segment> written_ranges::segments() const {
    // Sweep over the range ends: +1 where a range begins, -1 where it ends.
    std::vector<std::pair<std::uint64_t, int>> events;
    events.reserve(ranges_.size() * 2);
    for (const address_range &range : ranges_) {
        events.emplace_back(range.first, 1);
        events.emplace_back(range.end, -1);
    }
    std::sort(events.begin(), events.end());

    std::vector<coverage_segment> segments;
    std::int64_t depth = 0;
    for (std::size_t i = 0; i < events.size(); ++i) {
        depth += events[i].second;
        const bool position_done = i + 1 == events.size() || events[i + 1].first != events[i].first;
        if (!position_done || depth == 0 || i + 1 == events.size()) continue;
        const std::uint64_t first = events[i].first;
        const std::uint64_t end = events[i + 1].first;
        const auto count = static_cast<std::uint32_t>(depth);
        if (!segments.empty() && segments.back().end == first && segments.back().depth == count) {
            segments.back().end = end;
        } else {
            segments.push_back({first, end, count});
        }
    }
    return segments;
}

firmware_blocks::firmware_blocks(std::vector<coverage_segment> segments, std::uint32_t lowest_address)
    : segments_(std::move(segments)), lowest_(lowest_address) {
    starts_.reserve(segments_.size());
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < segments_.size(); ++i) {
        const coverage_segment &s = segments_[i];
        // Every repeated write of an address starts a block; so does the start of each run.
        total += (starts_run(i) ? 1 : 0) + std::uint64_t{s.depth - 1} * (s.end - s.first);
        starts_.push_back(total);
    }
}

bool firmware_blocks::starts_run(std::size_t segment) const {
    return segment == 0 || segments_[segment - 1].end != segments_[segment].first;
}

// End of the block that holds the last write of `address`: the first writes of the following
// addresses extend it until an address that is written again, or a gap.
std::uint64_t firmware_blocks::end_after(std::size_t segment, std::uint64_t address) const {
    std::uint64_t end = address + 1;
    for (;;) {
        const coverage_segment &s = segments_[segment];
        if (end < s.end) {
            if (s.depth > 1) return end + 1;
            end = s.end;
        }
        if (segment + 1 == segments_.size() || segments_[segment + 1].first != end) return end;
        ++segment;
    }
}

firmware_block firmware_blocks::make(std::uint64_t first, std::uint64_t end) const {
    return {first - lowest_, end - lowest_, first, end};
}

firmware_block firmware_blocks::at(std::uint64_t index) const {
    const auto found = std::upper_bound(starts_.begin(), starts_.end(), index);
    const auto segment = static_cast<std::size_t>(found - starts_.begin());
    const coverage_segment &s = segments_[segment];
    std::uint64_t rest = index - (segment == 0 ? 0 : starts_[segment - 1]);
    if (starts_run(segment)) {
        if (rest == 0) return make(s.first, s.depth > 1 ? s.first + 1 : end_after(segment, s.first));
        --rest;
    }
    // Blocks started by the 2nd..depth-th write of each address, in address order.
    const std::uint64_t repeats = s.depth - 1;
    const std::uint64_t address = s.first + rest / repeats;
    const bool last_write = rest % repeats == repeats - 1;
    return make(address, last_write ? end_after(segment, address) : address + 1);
}

}  // namespace kelvra::files
