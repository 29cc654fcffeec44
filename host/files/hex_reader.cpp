#include "host/files/image_reader.h"

namespace kelvra::files {
namespace {

constexpr std::size_t kHexHeadChars = 9;  // ':' + count, address, type
constexpr std::size_t kHexFrameChars = kHexHeadChars + 2;

std::uint8_t sum_bytes(const std::uint8_t *bytes, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
    return static_cast<std::uint8_t>(sum);
}

}  // namespace

void hex_reader::begin_pass() {
    mode_ = addressing::none;
    segment_ = 0;
    upper_ = 0;
}

bool hex_reader::record(std::string_view line) {
    std::uint8_t head[4];
    if (line.size() < kHexFrameChars || line[0] != ':' || !decode_hex(line.substr(1, 8), head)) return line_error();
    const std::size_t count = head[0];
    if (line.size() != kHexFrameChars + 2 * count) return line_error();
    std::uint8_t bytes[256];
    if (!decode_hex(line.substr(kHexHeadChars, 2 * count), bytes)) return data_byte_error();
    std::uint8_t checksum = 0;
    if (!decode_hex(line.substr(kHexHeadChars + 2 * count, 2), &checksum)) return line_error();
    if (static_cast<std::uint8_t>(sum_bytes(head, 4) + sum_bytes(bytes, count) + checksum) != 0) checksum_error();

    const std::uint32_t offset = std::uint32_t{head[1]} << 8 | head[2];
    switch (head[3]) {
    case 0x00:
        if (count == 0) {
            if (current_pass() == pass::fill) log_printf(log().diagnostics, "0 byte length Data record ignored\n");
            return true;
        }
        return data(std::uint64_t{offset} + (mode_ == addressing::segment ? segment_ * 16ull : upper_ * 65536ull),
                    bytes, count);
    case 0x02:
    case 0x04:
        if (count != 2) return line_error();
        return extended_address(head[3], std::uint32_t{bytes[0]} << 8 | bytes[1]);
    case 0x01:  // end of file: the records after it are read all the same
    case 0x03:
    case 0x05:
        return true;
    default:
        if (current_pass() == pass::fill) log_printf(log().diagnostics, "Unknown record type\n");
        return true;
    }
}

// The first extended-address record fixes segment or linear addressing for the whole file.
bool hex_reader::extended_address(std::uint8_t type, std::uint32_t value) {
    const bool segment_record = type == 0x02;
    const addressing wanted = segment_record ? addressing::segment : addressing::linear;
    if (mode_ != addressing::none && mode_ != wanted) {
        if (current_pass() == pass::fill) {
            log_printf(log().diagnostics,
                       segment_record ? "Ignored extended linear address record %d\n"
                                      : "Ignored extended segment address record %d\n",
                       record_number());
        }
        return true;
    }
    mode_ = wanted;
    (segment_record ? segment_ : upper_) = value;
    return true;
}

}  // namespace kelvra::files
