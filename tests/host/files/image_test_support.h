// Helpers for the image tests: loading with captured diagnostics, and scratch files.
#pragma once

#include "host/files/code_file.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace kelvra::files::test {

struct loaded {
    std::unique_ptr<bs_code_file> image;
    std::string diagnostics;
    std::string summary;
};

inline loaded load(const std::string &path, std::int32_t fw_num) {
    std::ostringstream diagnostics;
    std::ostringstream summary;
    loaded result;
    result.image = open_image(path, fw_num, {&diagnostics, &summary});
    result.diagnostics = diagnostics.str();
    result.summary = summary.str();
    return result;
}

inline std::vector<std::uint8_t> bytes_from(std::uint8_t first, std::size_t count) {
    std::vector<std::uint8_t> out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(first + i);
    return out;
}

// A folder of its own under the system's temporary folder, removed with the object.
class scratch_dir {
public:
    scratch_dir() {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("kelvra_files_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~scratch_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;

    std::string file(const std::string &name, const std::string &content) const {
        const auto full = path_ / name;
        std::ofstream(full, std::ios::binary) << content;
        return full.string();
    }
    std::string path(const std::string &name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

}  // namespace kelvra::files::test
