// Firmware images: the bytes a "-write" sends, with the addresses of their first and last byte.
// The file kind follows the extension: "bin", "hex" or "s19", in any case.
#pragma once

#include "host/files/coverage.h"
#include "host/files/image_log.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kelvra::files {

// Firmware number that keeps every block of a HEX image ("-fw-num all").
inline constexpr std::int32_t kAllFirmware = -1;

class bs_code_file {
public:
    virtual ~bs_code_file() = default;
    // Reads `path` into the members. A HEX image may throw std::out_of_range("Firmware quantity
    // exceeds") when `firmware_number` names a block it does not have.
    virtual bool load(std::string path, std::int32_t firmware_number) = 0;

    std::string name;
    std::vector<std::uint8_t> data;
    std::uint32_t start_address = 0;
    std::uint32_t end_address = 0;
    // Address of the first byte a data record wrote. Above start_address only when the image
    // opens with padding: an S-record file whose header comes first starts at address 0.
    std::uint32_t first_data_address = 0;
    image_log log;

protected:
    bs_code_file() = default;
    bs_code_file(const bs_code_file &) = default;
    bs_code_file &operator=(const bs_code_file &) = default;
};

class bs_bin_file final : public bs_code_file {
public:
    bool load(std::string path, std::int32_t firmware_number) override;
};

class bs_hex_file final : public bs_code_file {
public:
    bool load(std::string path, std::int32_t firmware_number) override;

    // Every firmware block of the file, whichever was selected.
    firmware_blocks blocks;
};

class bs_s19_file final : public bs_code_file {
public:
    bool load(std::string path, std::int32_t firmware_number) override;
};

// The object for the path's extension, or null for any other extension.
std::unique_ptr<bs_code_file> make_code_file(const std::string &path);

// Loads `path`; null when the kind is unknown or the load fails. Lets the out-of-range error of
// bs_hex_file::load through.
std::unique_ptr<bs_code_file> open_image(const std::string &path, std::int32_t firmware_number,
                                         image_log log = {});

}  // namespace kelvra::files
