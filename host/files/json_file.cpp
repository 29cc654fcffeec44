#include "host/files/json_file.h"

namespace kelvra::files {

bool has_json_extension(const std::string &path) {
    static constexpr std::string_view kSuffix = ".json";
    return path.size() >= kSuffix.size() && path.compare(path.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

json_file::json_file(const std::string &path, mode how) {
    if (!has_json_extension(path)) return;
    if (how == mode::write) {
        // Binary: the same bytes on every system, no CR before each line feed on Windows.
        stream_.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
        open_ = stream_.is_open();
        return;
    }
    stream_.open(path, std::ios::in);
    open_ = stream_.is_open();
    if (!open_) return;
    try {
        value = nlohmann::json::parse(stream_);
    } catch (const nlohmann::json::exception &e) {
        value = nullptr;
        parse_error_ = e.what();
    }
}

bool json_file::write() {
    if (!open_) return false;
    stream_ << value.dump(4, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    stream_.flush();
    return static_cast<bool>(stream_);
}

void json_file::close() {
    if (stream_.is_open()) stream_.close();
    open_ = false;
}

}  // namespace kelvra::files
