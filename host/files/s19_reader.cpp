#include "host/files/image_reader.h"

namespace kelvra::files {
namespace {

// Address bytes of each S-record type; S4 is reserved and carries none.
constexpr std::size_t kAddressWidth[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

}  // namespace

void s19_reader::begin_pass() { previous_address_ = 0; }

bool s19_reader::record(std::string_view line) {
    if (line.size() < 4 || line[0] != 'S' || line[1] < '0' || line[1] > '9') return line_error();
    std::uint8_t count = 0;
    if (!decode_hex(line.substr(2, 2), &count)) return line_error();
    const char type = line[1];
    const std::size_t width = kAddressWidth[type - '0'];
    if (line.size() != 4 + 2 * std::size_t{count} || count < width + 1) return line_error();

    std::uint8_t fields[256];  // address, data, checksum
    const std::size_t data_count = count - width - 1;
    if (!decode_hex(line.substr(4, 2 * width), fields)) return line_error();
    if (!decode_hex(line.substr(4 + 2 * width, 2 * data_count), fields + width)) return data_byte_error();
    if (!decode_hex(line.substr(4 + 2 * (width + data_count), 2), fields + width + data_count)) return line_error();
    unsigned sum = count;
    for (std::size_t i = 0; i < count; ++i) sum += fields[i];
    if ((sum & 0xFF) != 0xFF) checksum_error();

    std::uint32_t address = 0;
    for (std::size_t i = 0; i < width; ++i) address = address << 8 | fields[i];
    switch (type) {
    case '0':
        // The header widens the bounds by one byte at the previous data record's address, so a
        // file that opens with it starts its image at address 0.
        mark(previous_address_);
        return true;
    case '1':
    case '2':
    case '3':
        previous_address_ = address;
        return data_count == 0 || data(address, fields + width, data_count);
    default:
        report(type, address);
        return true;
    }
}

void s19_reader::report(char type, std::uint32_t address) const {
    if (current_pass() != pass::fill) return;
    std::ostream *out = log().diagnostics;
    switch (type) {
    case '5': log_printf(out, "Record total: %d\n", static_cast<int>(address)); break;
    case '7': log_printf(out, "Execution Address (unused): %08X\n", address); break;
    case '8': log_printf(out, "Execution Address (unused): %06X\n", address); break;
    case '9': log_printf(out, "Execution Address (unused): %04X\n", address); break;
    default: break;
    }
}

}  // namespace kelvra::files
