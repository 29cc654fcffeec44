#include "host/files/image_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <utility>

namespace kelvra::files {
namespace {

// Byte value of every two-character pair, -1 where either is not a hex digit: one look-up per
// byte keeps decoding off the top of the load profile.
const std::array<std::int16_t, 65536> &pair_table() {
    static const auto table = [] {
        std::array<std::int8_t, 256> digit{};
        digit.fill(-1);
        for (int c = 0; c < 10; ++c) digit[static_cast<std::size_t>('0' + c)] = static_cast<std::int8_t>(c);
        for (int c = 0; c < 6; ++c) {
            digit[static_cast<std::size_t>('A' + c)] = static_cast<std::int8_t>(10 + c);
            digit[static_cast<std::size_t>('a' + c)] = static_cast<std::int8_t>(10 + c);
        }
        std::array<std::int16_t, 65536> pairs{};
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            const int high = digit[i >> 8];
            const int low = digit[i & 0xFF];
            pairs[i] = static_cast<std::int16_t>((high | low) < 0 ? -1 : high << 4 | low);
        }
        return pairs;
    }();
    return table;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view trim_right(std::string_view line) {
    while (!line.empty() && is_blank(line.back())) line.remove_suffix(1);
    return line;
}

}  // namespace

bool decode_hex(std::string_view text, std::uint8_t *out) {
    if (text.size() % 2 != 0) return false;
    const auto &pairs = pair_table();
    int invalid = 0;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int value = pairs[static_cast<std::size_t>(static_cast<unsigned char>(text[i])) << 8 |
                                static_cast<unsigned char>(text[i + 1])];
        invalid |= value;
        out[i / 2] = static_cast<std::uint8_t>(value);
    }
    return invalid >= 0;
}

image_reader::image_reader(std::string path, image_log log) : path_(std::move(path)), log_(log) {}

image_reader::~image_reader() {
    if (file_ != nullptr) std::fclose(file_);
}

bool image_reader::scan() {
    if (path_.size() >= kMaxPathLength) {
        log_printf(log_.diagnostics, "filename length exceeds %d characters.\n", static_cast<int>(kMaxPathLength));
        return false;
    }
    file_ = std::fopen(path_.c_str(), "rb");
    if (file_ == nullptr) {
        log_printf(log_.diagnostics, "Input file %s cannot be opened.\n", path_.c_str());
        return false;
    }
    lowest_ = 0xFFFFFFFF;
    highest_ = 0;
    if (!run_pass(pass::scan)) return false;
    segments_ = written_.segments();
    if (has_data()) print_bounds();
    return true;
}

void image_reader::print_bounds() const {
    log_printf(log_.summary, "Allocate_Memory_and_Rewind:\n");
    log_printf(log_.summary, "Lowest address:   %08X\n", lowest_);
    log_printf(log_.summary, "Highest address:  %08X\n", highest_);
    log_printf(log_.summary, "Starting address: %08X\n", lowest_);
    log_printf(log_.summary, "Max Length:       %llu\n\n", static_cast<unsigned long long>(length()));
}

bool image_reader::fill(std::uint64_t first, std::uint64_t end, std::vector<std::uint8_t> &out) {
    overlaps_.clear();
    overlap_base_.clear();
    std::uint64_t shadow = 0;
    for (const coverage_segment &s : segments_) {
        if (s.depth < 2) continue;
        overlaps_.push_back(s);
        overlap_base_.push_back(shadow);
        shadow += s.end - s.first;
    }
    try {
        out.assign(static_cast<std::size_t>(end - first), kPadByte);
        overlap_bytes_.assign(static_cast<std::size_t>(shadow), kPadByte);
    } catch (const std::bad_alloc &) {
        out.clear();
        log_printf(log_.diagnostics, "Can't allocate memory.\n");
        return false;
    } catch (const std::length_error &) {
        out.clear();
        log_printf(log_.diagnostics, "Can't allocate memory.\n");
        return false;
    }
    out_ = &out;
    out_first_ = first;
    out_end_ = end;
    std::rewind(file_);
    const bool ok = run_pass(pass::fill);
    out_ = nullptr;
    overlap_bytes_ = {};
    if (!ok) return false;
    log_printf(log_.summary, "Binary file start = %08X\n", lowest_);
    log_printf(log_.summary, "Records start     = %08X\n", lowest_);
    log_printf(log_.summary, "Highest address   = %08X\n", highest_);
    log_printf(log_.summary, "Pad Byte          = %X\n", unsigned{kPadByte});
    return true;
}

bool image_reader::run_pass(pass which) {
    pass_ = which;
    record_number_ = 0;
    begin_pass();
    return read_lines();
}

// Splits the file into lines of at most kMaxLinePiece characters, as a fixed line buffer would.
bool image_reader::read_lines() {
    std::vector<char> buffer(std::size_t{1} << 16);
    std::size_t begin = 0;
    std::size_t filled = 0;
    bool at_end = false;
    for (;;) {
        while (!at_end && filled - begin < kMaxLinePiece) {
            std::memmove(buffer.data(), buffer.data() + begin, filled - begin);
            filled -= begin;
            begin = 0;
            filled += std::fread(buffer.data() + filled, 1, buffer.size() - filled, file_);
            if (std::ferror(file_)) {
                log_printf(log_.diagnostics, "Error occurred while reading from file\n");
                return false;
            }
            at_end = std::feof(file_) != 0;
        }
        if (begin == filled) return true;
        const std::size_t available = std::min(filled - begin, kMaxLinePiece);
        const char *start = buffer.data() + begin;
        const void *newline = std::memchr(start, '\n', available);
        const std::size_t piece =
            newline != nullptr ? static_cast<std::size_t>(static_cast<const char *>(newline) - start) + 1 : available;
        begin += piece;
        ++record_number_;
        // A one-character line is skipped whatever it holds: a bare line break, or a lone
        // end-of-text mark such as Ctrl-Z on the last line.
        if (piece == 1) continue;
        const std::string_view line = trim_right({start, piece});
        if (!line.empty() && !record(line)) return false;
    }
}

bool image_reader::data(std::uint64_t address, const std::uint8_t *bytes, std::size_t count) {
    const std::uint64_t last = address + count - 1;
    if (last > 0xFFFFFFFF) return line_error();
    if (pass_ == pass::scan) {
        widen(address, last);
        written_.add(address, last + 1);
        return true;
    }
    check_overlap(address, bytes, count);
    store(address, bytes, count);
    return true;
}

void image_reader::mark(std::uint32_t address) {
    if (pass_ == pass::scan) widen(address, address);
}

void image_reader::widen(std::uint64_t first, std::uint64_t last) {
    lowest_ = std::min(lowest_, static_cast<std::uint32_t>(first));
    highest_ = std::max(highest_, static_cast<std::uint32_t>(last));
}

void image_reader::check_overlap(std::uint64_t address, const std::uint8_t *bytes, std::size_t count) {
    if (overlaps_.empty()) return;
    const std::uint64_t end = address + count;
    auto it = std::lower_bound(overlaps_.begin(), overlaps_.end(), address,
                               [](const coverage_segment &s, std::uint64_t a) { return s.end <= a; });
    for (; it != overlaps_.end() && it->first < end; ++it) {
        const std::uint64_t base = overlap_base_[static_cast<std::size_t>(it - overlaps_.begin())];
        for (std::uint64_t a = std::max(it->first, address); a < std::min(it->end, end); ++a) {
            std::uint8_t &old = overlap_bytes_[static_cast<std::size_t>(base + a - it->first)];
            if (old != kPadByte) log_printf(log_.diagnostics, "Overlapped record detected\n");
            old = bytes[a - address];
        }
    }
}

void image_reader::store(std::uint64_t address, const std::uint8_t *bytes, std::size_t count) {
    if (address < lowest_) return;  // only if the file changed between the passes
    const std::uint64_t offset = address - lowest_;
    const std::uint64_t first = std::max(offset, out_first_);
    const std::uint64_t end = std::min(offset + count, out_end_);
    if (first >= end) return;
    std::memcpy(out_->data() + (first - out_first_), bytes + (first - offset), static_cast<std::size_t>(end - first));
}

bool image_reader::line_error() {
    log_printf(log_.diagnostics, "Error in line %d of hex file\n", record_number_);
    return false;
}

bool image_reader::data_byte_error() {
    log_printf(log_.diagnostics, "ReadDataBytes: error in line %d of hex file\n", record_number_);
    return false;
}

void image_reader::checksum_error() {
    if (pass_ == pass::fill) log_printf(log_.diagnostics, "Checksum error in line %d of hex file\n", record_number_);
}

}  // namespace kelvra::files
