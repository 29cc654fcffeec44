#include "host/files/image_start.h"

#include <cinttypes>
#include <cstdio>

namespace kelvra::files {
namespace {

std::string address_text(std::uint64_t address) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%08" PRIX64, address);
    return text;
}

// As a script writes a number: lower-case hex without leading zeros.
std::string addr_option(std::uint32_t address) {
    char text[24];
    std::snprintf(text, sizeof text, "\"-addr 0x%" PRIx32 "\"", address);
    return text;
}

}  // namespace

std::optional<image_start_gap> image_starts_below_first_data(const bs_code_file &image) {
    if (image.first_data_address <= image.start_address) return std::nullopt;
    return image_start_gap{image.start_address, image.first_data_address};
}

std::string image_start_warning(const image_start_gap &gap, std::optional<std::uint32_t> write_address) {
    std::string text = "image starts at " + address_text(gap.image_start) + ", below its first data byte at " +
                       address_text(gap.first_data) + " (an S-record header counts as a byte at address 0); " +
                       addr_option(gap.image_start) + " writes the data at its own address";
    if (!write_address) return text;
    if (*write_address == gap.image_start) return text + ", as this row does";
    // 64 bits: a high "-addr" can push the data past the end of the 32-bit space.
    const std::uint64_t lands = std::uint64_t{*write_address} + (gap.first_data - gap.image_start);
    return text + ", this row's " + addr_option(*write_address) + " writes it at " + address_text(lands);
}

}  // namespace kelvra::files
