// kvat image: loads a firmware image the way "-write" does and shows what would be written.
#include "cli/verb.h"
#include "host/files/code_file.h"
#include "host/files/image_start.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <streambuf>
#include <stdexcept>
#include <string>

namespace kvat::cli {
namespace {

using namespace kelvra::files;

struct image_options {
    std::string file;
    std::string fw_num = "0";
    std::string output;
    bool json = false;
};

// "all" or a decimal (or 0x-prefixed) signed 32-bit number.
bool parse_fw_num(const std::string &text, std::int32_t &out) {
    if (text == "all") {
        out = kAllFirmware;
        return true;
    }
    try {
        std::size_t used = 0;
        const bool hex = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0;
        const long long value = std::stoll(text, &used, hex ? 16 : 10);
        if (used != text.size() || value < INT32_MIN || value > INT32_MAX) return false;
        out = static_cast<std::int32_t>(value);
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

const char *kind_of(const bs_code_file &image) {
    if (dynamic_cast<const bs_hex_file *>(&image) != nullptr) return "hex";
    if (dynamic_cast<const bs_s19_file *>(&image) != nullptr) return "s19";
    return "bin";
}

std::string hex32(std::uint64_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIX64, value);
    return text;
}

void print_text(const bs_code_file &image, const std::string &summary) {
    std::cout << summary;
    std::cout << "kind:  " << kind_of(image) << '\n'
              << "start: " << hex32(image.start_address) << '\n'
              << "end:   " << hex32(image.end_address) << '\n'
              << "size:  " << image.data.size() << '\n';
    const auto *hex = dynamic_cast<const bs_hex_file *>(&image);
    if (hex == nullptr) return;
    std::cout << "firmware blocks: " << hex->blocks.count() << '\n';
    for (std::uint64_t i = 0; i < hex->blocks.count(); ++i) {
        const firmware_block block = hex->blocks.at(i);
        std::cout << "  " << i << ": " << hex32(block.first_address) << " - " << hex32(block.end_address - 1) << "  ("
                  << block.end_address - block.first_address << " bytes)\n";
    }
}

void print_json(const bs_code_file &image, std::int32_t fw_num, const std::string &summary) {
    nlohmann::json out = {{"kind", kind_of(image)},
                          {"start_address", image.start_address},
                          {"end_address", image.end_address},
                          {"size", image.data.size()},
                          {"summary", summary}};
    const auto *hex = dynamic_cast<const bs_hex_file *>(&image);
    if (hex == nullptr) {
        std::cout << out.dump(4, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
        return;
    }
    out["firmware_number"] = fw_num;
    // "blocks" sorts first and is streamed ahead of the other members: a file that rewrites its
    // bytes has a block per rewrite, too many to hold as JSON values.
    const std::string rest = out.dump(4, ' ', false, nlohmann::json::error_handler_t::replace);
    std::cout << "{\n    \"blocks\": [";
    for (std::uint64_t i = 0; i < hex->blocks.count(); ++i) {
        const firmware_block block = hex->blocks.at(i);
        std::cout << (i == 0 ? "\n" : ",\n") << "        {\n"
                  << "            \"first_address\": " << block.first_address << ",\n"
                  << "            \"last_address\": " << block.end_address - 1 << ",\n"
                  << "            \"size\": " << block.end_address - block.first_address << "\n"
                  << "        }";
    }
    std::cout << (hex->blocks.count() == 0 ? "]" : "\n    ]") << ",\n" << rest.substr(2) << '\n';
}

bool write_bytes(const std::string &path, const std::vector<std::uint8_t> &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out.flush());
}

// Diagnostics reach stderr in large blocks: a file that rewrites its bytes can produce one
// line per rewritten byte, and an unbuffered stream would make a system call for each.
class block_writer final : public std::streambuf {
public:
    explicit block_writer(std::FILE *file) : file_(file) { reset(); }
    ~block_writer() override { sync(); }
    block_writer(const block_writer &) = delete;
    block_writer &operator=(const block_writer &) = delete;

protected:
    int_type overflow(int_type c) override {
        if (sync() != 0) return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override {
        const auto used = static_cast<std::size_t>(pptr() - pbase());
        const bool written = std::fwrite(pbase(), 1, used, file_) == used && std::fflush(file_) == 0;
        reset();
        return written ? 0 : -1;
    }

private:
    void reset() { setp(buffer_.data(), buffer_.data() + buffer_.size()); }

    std::FILE *file_;
    std::array<char, 1 << 16> buffer_{};
};

int run(const image_options &options) {
    std::int32_t fw_num = 0;
    if (!parse_fw_num(options.fw_num, fw_num)) {
        std::cerr << "kvat image: --fw-num takes a number or \"all\", not \"" << options.fw_num << "\"\n";
        return kExitUsage;
    }
    if (!make_code_file(options.file)) {
        std::cerr << "kvat image: " << options.file << ": not a bin, hex or s19 file\n";
        return kExitInput;
    }
    std::ostringstream summary;
    block_writer diagnostics_buffer(stderr);
    std::ostream diagnostics(&diagnostics_buffer);
    std::unique_ptr<bs_code_file> image;
    try {
        image = open_image(options.file, fw_num, {&diagnostics, &summary});
        diagnostics.flush();
    } catch (const std::out_of_range &e) {
        diagnostics.flush();
        if (!options.json) std::cout << summary.str();
        std::cerr << e.what() << '\n';
        return kExitFailed;
    }
    if (!image) {
        // What the reader summarised before it failed still goes to stdout.
        if (!options.json) std::cout << summary.str();
        std::cerr << "kvat image: " << options.file << ": no image loaded\n";
        std::error_code ignored;
        return std::filesystem::exists(options.file, ignored) ? kExitFailed : kExitInput;
    }
    if (options.json) {
        print_json(*image, fw_num, summary.str());
    } else {
        print_text(*image, summary.str());
    }
    // A warning only: the image is what "-write" sends, and the exit status stays as it is.
    if (const auto gap = image_starts_below_first_data(*image)) {
        std::cout.flush();
        std::cerr << "kvat image: warning: " << image_start_warning(*gap) << '\n';
    }
    if (!options.output.empty() && !write_bytes(options.output, image->data)) {
        std::cerr << "kvat image: cannot write " << options.output << '\n';
        return kExitFailed;
    }
    return kExitOk;
}

[[maybe_unused]] const bool registered = register_verb("image", [](CLI::App &app) {
    auto options = std::make_shared<image_options>();
    CLI::App *verb = app.add_subcommand("image", "Load a firmware image as \"-write\" does and show or extract it");
    verb->add_option("FILE", options->file, "firmware image: .bin, .hex or .s19")->required();
    verb->add_option("--fw-num", options->fw_num, "firmware block of a HEX file: index, or \"all\" (default 0)");
    verb->add_option("-o,--output", options->output, "write the selected bytes to this file");
    verb->add_flag("--json", options->json, "print the description as JSON");
    verb->callback([options] { set_exit_code(run(*options)); });
});

}  // namespace
}  // namespace kvat::cli
