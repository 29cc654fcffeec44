// One JSON value bound to one ".json" file, read from it or written to it.
#pragma once

#include <nlohmann/json.hpp>

#include <fstream>
#include <string>

namespace kelvra::files {

class json_file {
public:
    enum class mode { read, write };

    // Read mode parses the whole file into `value`; a parse error leaves `value` null and its
    // text in parse_error(). Write mode creates or replaces the file.
    json_file(const std::string &path, mode how);

    // True only for a path ending in ".json" whose file could be opened.
    bool is_open() const { return open_; }
    const std::string &parse_error() const { return parse_error_; }

    // Writes `value` indented by four spaces, keys sorted, then a line break. Bytes that are not
    // valid UTF-8 are written as U+FFFD rather than failing the whole document.
    bool write();
    void close();

    nlohmann::json value;

private:
    std::fstream stream_;
    bool open_ = false;
    std::string parse_error_;
};

bool has_json_extension(const std::string &path);

}  // namespace kelvra::files
