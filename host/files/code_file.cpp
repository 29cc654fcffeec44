#include "host/files/code_file.h"

#include "host/files/image_reader.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <new>
#include <stdexcept>

namespace kelvra::files {
namespace {

std::string extension_of(const std::string &path) {
    const auto dot = path.rfind('.');
    std::string extension = dot == std::string::npos ? path : path.substr(dot + 1);
    for (char &c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

// Reads as many bytes as the file's end position gives; devices and pipes report no size and
// so fail instead of being read without end.
bool read_whole_file(const std::string &path, std::vector<std::uint8_t> &out, const image_log &log) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        log_printf(log.diagnostics, "Input file %s cannot be opened.\n", path.c_str());
        return false;
    }
    std::error_code error;
    long size = 0;
    if (std::filesystem::is_regular_file(path, error) && std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    std::rewind(file);
    try {
        out.assign(size > 0 ? static_cast<std::size_t>(size) : 0, 0);
        out.resize(std::fread(out.data(), 1, out.size(), file));
        if (std::ferror(file)) {
            log_printf(log.diagnostics, "Error occurred while reading from file\n");
            out.clear();
        }
    } catch (const std::exception &) {  // bad_alloc, length_error
        log_printf(log.diagnostics, "Can't allocate memory.\n");
        out.clear();
    }
    std::fclose(file);
    return !out.empty();
}

}  // namespace

bool bs_bin_file::load(std::string path, std::int32_t /*firmware_number*/) {
    start_address = 0;
    first_data_address = 0;
    return read_whole_file(path, data, log);
}

bool bs_hex_file::load(std::string path, std::int32_t firmware_number) {
    hex_reader reader(std::move(path), log);
    if (!reader.scan() || !reader.has_data()) return false;
    blocks = firmware_blocks(reader.segments(), reader.lowest());
    if (firmware_number == kAllFirmware) {
        start_address = reader.lowest();
        first_data_address = start_address;
        return reader.fill(0, reader.length(), data);
    }
    // Compared unsigned, so every other negative number is out of range as well.
    if (static_cast<std::uint32_t>(firmware_number) > blocks.count() - 1) {
        // The file is read in full first, so its diagnostics and summary precede the error.
        std::vector<std::uint8_t> none;
        if (!reader.fill(0, 0, none)) return false;
        throw std::out_of_range("Firmware quantity exceeds");
    }
    const firmware_block block = blocks.at(static_cast<std::uint32_t>(firmware_number));
    start_address = static_cast<std::uint32_t>(block.first_address);
    first_data_address = start_address;
    return reader.fill(block.first_offset, block.end_offset, data);
}

bool bs_s19_file::load(std::string path, std::int32_t /*firmware_number*/) {
    s19_reader reader(std::move(path), log);
    if (!reader.scan() || !reader.has_data()) return false;
    start_address = reader.lowest();
    const auto &segments = reader.segments();
    first_data_address =
        segments.empty() ? start_address : static_cast<std::uint32_t>(segments.front().first);
    return reader.fill(0, reader.length(), data);
}

std::unique_ptr<bs_code_file> make_code_file(const std::string &path) {
    const std::string extension = extension_of(path);
    if (extension == "bin") return std::make_unique<bs_bin_file>();
    if (extension == "hex") return std::make_unique<bs_hex_file>();
    if (extension == "s19") return std::make_unique<bs_s19_file>();
    return nullptr;
}

std::unique_ptr<bs_code_file> open_image(const std::string &path, std::int32_t firmware_number, image_log log) {
    std::unique_ptr<bs_code_file> image = make_code_file(path);
    if (!image) return nullptr;
    image->log = log;
    if (!image->load(path, firmware_number)) {
        image->name.clear();
        return nullptr;
    }
    image->name = path;
    image->end_address = static_cast<std::uint32_t>(image->start_address + image->data.size() - 1);
    return image;
}

}  // namespace kelvra::files
