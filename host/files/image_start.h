// Images that start below their first data byte, and the warning tools print about them.
//
// An S-record file that opens with its header record starts its image at address 0 and pads
// up to the first data record. "-write" sends the image from its first byte to "-addr", so a
// script that gives the data's own address as "-addr" puts the data that much higher. Loading
// keeps this (scripts with "-addr 0" rely on it); the tools warn instead of refusing.
#pragma once

#include "host/files/code_file.h"

#include <cstdint>
#include <optional>
#include <string>

namespace kelvra::files {

struct image_start_gap {
    std::uint32_t image_start = 0;  // address of the image's first byte
    std::uint32_t first_data = 0;   // address of its first data byte, above image_start
};

// The gap of a loaded image, or nothing when the image starts at its first data byte.
std::optional<image_start_gap> image_starts_below_first_data(const bs_code_file &image);

// One line naming both addresses and the "-addr" that writes the data at its own address. With
// `write_address` (a "-write" row's "-addr") it also says where that row puts the first data
// byte. For example:
//   image starts at 0x00000000, below its first data byte at 0x08000000 (...); "-addr 0x0"
//   writes the data at its own address, this row's "-addr 0x8000000" writes it at 0x10000000
std::string image_start_warning(const image_start_gap &gap,
                                std::optional<std::uint32_t> write_address = std::nullopt);

}  // namespace kelvra::files
