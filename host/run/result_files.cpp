#include "host/run/result_files.h"

#include "core/kelvra_at_api.h"

#include "host/files/json_file.h"
#include "host/files/writer_documents.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace kelvra::run {
namespace {

// A text field of a record: its bytes up to the first zero, never past the field.
template <std::size_t N>
std::string field_text(const char (&field)[N]) {
    std::size_t n = 0;
    while (n < N && field[n] != '\0') ++n;
    return std::string(field, n);
}

std::string field_text(const std::uint8_t *p, std::size_t size) {
    std::size_t n = 0;
    while (n < size && p[n] != 0) ++n;
    return std::string(reinterpret_cast<const char *>(p), n);
}

std::uint16_t le16(const std::uint8_t *p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

std::string errno_text(int error) { return error != 0 ? std::strerror(error) : "unknown error"; }

// Appends to a file: "" or why it failed.
std::string append_file(const std::string &path, const void *data, std::size_t size) {
    errno = 0;
    std::FILE *f = std::fopen(path.c_str(), "ab");
    if (f == nullptr) return errno_text(errno);
    std::string error;
    if (size != 0 && std::fwrite(data, 1, size, f) != size) error = errno_text(errno);
    if (std::fclose(f) != 0 && error.empty()) error = errno_text(errno);
    return error;
}

// Bytes per printed line of a long byte list, so that every line keeps within the log's limit.
constexpr std::size_t kBytesPerListLine = 128;

}  // namespace

ResultFiles::ResultFiles(MessageLog &log, std::mutex &print_mutex, SaveFailed on_failure, Console console)
    : log_(log), print_mutex_(print_mutex), on_failure_(std::move(on_failure)), console_(std::move(console)) {}

bool ResultFiles::MakeFolder(const std::string &folder, bool clear) {
    if (clear) ClearFolder(folder);
    std::error_code made;
    fs::create_directories(folder, made);
    std::error_code error;
    if (fs::is_directory(folder, error)) return true;
    on_failure_(folder, made ? made.message() : "not a folder");
    return false;
}

void ResultFiles::ClearFolder(const std::string &path) {
    std::error_code error;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(*it);
    }
    for (const auto &entry : entries) {
        const std::string p = entry.path().string();
        std::error_code e;
        if (entry.is_directory(e) && !entry.is_symlink(e)) {
            ClearFolder(p);
            console_(p);
            console_(fs::remove(entry.path(), e) ? "delete empty dir success" : "delete empty dir error");
        } else {
            console_(p);
            console_(fs::remove(entry.path(), e) ? "delete file success" : "delete file error");
        }
    }
}

void ResultFiles::AppendResult(const std::string &folder, const char *name, const void *data, std::size_t size) {
    // A port without a folder (the run folder could not be made) was reported at the start.
    if (folder.empty()) return;
    const std::string path = folder + name;
    const std::string error = append_file(path, data, size);
    if (!error.empty()) on_failure_(path, error);
}

template <typename Fill>
void ResultFiles::WriteJsonResult(const std::string &folder, const char *name, Fill &&fill) {
    if (folder.empty()) return;
    const std::string path = folder + name;
    errno = 0;
    files::json_file file(path, files::json_file::mode::write);
    if (!file.is_open()) {
        on_failure_(path, errno_text(errno));
        return;
    }
    if (!fill(file)) on_failure_(path, errno_text(errno));
}

void ResultFiles::PrintByteList(const std::uint8_t *bytes, std::size_t n, const std::string &port, const char *label) {
    log_.LogFormat(LogSuccess, "%s %s[%d]:", port.c_str(), label, static_cast<int>(n));
    // One line as "{ 0x01, 0x02 }"; a long list goes over several lines, each within the log's
    // line limit: "{ 0x01, ...,", "0x81, ...,", ..., "0xFF }".
    char item[8];
    std::size_t i = 0;
    do {
        const std::size_t end = std::min(n, i + kBytesPerListLine);
        std::string line = i == 0 ? "{ " : "";
        for (std::size_t k = i; k < end; ++k) {
            std::snprintf(item, sizeof item, "0x%02X", bytes[k]);
            if (k != i) line += ", ";
            line += item;
        }
        line += end == n ? " }" : ",";
        log_.LogLevelLine(LogSuccess, line);
        i = end;
    } while (i < n);
}

void ResultFiles::PrintHexDump(const std::uint8_t *bytes, std::uint32_t address, std::size_t n) {
    char item[4];
    for (std::size_t line = 0; line < n; line += 8) {
        std::string text;
        for (std::size_t i = line; i < n && i < line + 8; ++i) {
            std::snprintf(item, sizeof item, "%02X ", bytes[i]);
            text += item;
        }
        log_.LogFormat(LogSuccess, "0x%08X: %s", static_cast<unsigned>(address + line), text.c_str());
    }
}

void ResultFiles::WriterInfo(const std::string &folder, const std::string &port, const kvat_writer_info *info, bool print) {
    WriteJsonResult(folder, "/writer_info.json", [&](files::json_file &file) { return files::write_writer_info(file, *info); });
    if (!print) return;
    std::lock_guard<std::mutex> lock(print_mutex_);
    log_.LogFormat(LogSuccess, ">%s print info", port.c_str());
    log_.LogFormat(LogSuccess, "    <type>: %s", field_text(info->type).c_str());
    log_.LogFormat(LogSuccess, "    <SN>: %.32s", field_text(info->serial_number).c_str());
    log_.LogFormat(LogSuccess, "    <hardware version>: %s", field_text(info->hardware_version).c_str());
    log_.LogFormat(LogSuccess, "    <bootloader version>: %s", field_text(info->bootloader_version).c_str());
    log_.LogFormat(LogSuccess, "    <interface version>: %s", field_text(info->interface_version).c_str());
}

void ResultFiles::WriterConfig(const std::string &folder, const std::string &port, const kvat_writer_config *config, bool print) {
    WriteJsonResult(folder, "/writer_cfg.json", [&](files::json_file &file) { return files::write_writer_config(file, *config); });
    if (!print) return;
    const auto *r = reinterpret_cast<const std::uint8_t *>(config);
    std::lock_guard<std::mutex> lock(print_mutex_);
    const auto line = [this](const char *format, auto value) { log_.LogFormat(LogSuccess, format, value); };
    log_.LogFormat(LogSuccess, ">%s print config", port.c_str());
    log_.LogLevelLine(LogSuccess, "    names");
    line("    <vendor>: %s", field_text(r, 16).c_str());
    line("    <series>: %s", field_text(r + 16, 16).c_str());
    line("    <model>: %s", field_text(r + 32, 16).c_str());
    log_.LogLevelLine(LogSuccess, "    base config");
    line("    <erase>: %d", static_cast<int>(r[48]));
    line("    <vext>: %d", static_cast<int>(r[49]));
    line("    <clock>: %d", static_cast<int>(r[50]));
    line("    <buzzer>: %d", static_cast<int>(r[51]));
    line("    <option byte type>: %d", static_cast<int>(r[52]));
    log_.LogLevelLine(LogSuccess, "    offline config");
    line("    <limit enable>: %d", static_cast<int>(r[53]));
    line("    <limit number>: %d", static_cast<int>(at_get_le32(r + 54)));
    line("    <auto>: %d", static_cast<int>(r[58]));
    line("    <in debounce>: %d ms", static_cast<int>(le16(r + 59)));
    line("    <out debounce>: %d ms", static_cast<int>(le16(r + 61)));
    log_.LogLevelLine(LogSuccess, "    output config");
    line("    <disable power after programming>: %d", static_cast<int>(r[63]));
    line("    <run target after programming>: %d", static_cast<int>(r[64]));
    line("    <power on debounce>: %d ms", static_cast<int>(le16(r + 65)));
    line("    <power off debounce>: %d ms", static_cast<int>(le16(r + 67)));
    line("    <reset pin ctrl>: %d", static_cast<int>(r[69]));
}

void ResultFiles::ChipId(const std::string &folder, const std::string &port, const kvat_chip_id *id, bool print) {
    // A count beyond the record is held to the record.
    const std::size_t n = std::min<std::size_t>(id->count, sizeof id->id);
    {
        std::string entry = "$Target chip id[" + std::to_string(n) + "]:\n{";
        char item[8];
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(item, sizeof item, i + 1 < n ? " 0x%02X," : " 0x%02X ", id->id[i]);
            entry += item;
        }
        entry += "}\r\n";
        AppendResult(folder, "/chip_id.txt", entry.data(), entry.size());
    }
    if (!print) return;
    std::lock_guard<std::mutex> lock(print_mutex_);
    PrintByteList(id->id, n, port, "target chip id");
}

void ResultFiles::MemoryBlock(const std::string &folder, const std::string &port, const kvat_memory_block *block, bool print) {
    const std::uint8_t *raw = reinterpret_cast<const std::uint8_t *>(block);
    const std::uint32_t address = at_get_le32(raw);
    const std::uint32_t length = at_get_le32(raw + 4);
    const std::size_t n = std::min<std::size_t>(length, KVAT_MAX_CHUNK);
    AppendResult(folder, "/memory.bin", raw + 8, n);
    if (!print) return;
    std::lock_guard<std::mutex> lock(print_mutex_);
    log_.LogFormat(LogSuccess, "%s memmory addr: 0x%08X, size: %d", port.c_str(), address, static_cast<int>(n));
    PrintHexDump(raw + 8, address, n);
}

void ResultFiles::OptionBytes(const std::string &folder, const std::string &port, const kvat_option_bytes *bytes, bool print) {
    const std::uint8_t *raw = reinterpret_cast<const std::uint8_t *>(bytes);
    const std::size_t n = std::min<std::size_t>(at_get_le32(raw), sizeof bytes->data);
    AppendResult(folder, "/option_byte.bin", raw + 4, n);
    if (!print) return;
    std::lock_guard<std::mutex> lock(print_mutex_);
    PrintByteList(raw + 4, n, port, "options byte raw");
}

void ResultFiles::BroadcastRecord(const std::string &folder, const kvat_broadcast_record *record) {
    const std::uint8_t *raw = reinterpret_cast<const std::uint8_t *>(record);
    const std::size_t n = std::min<std::size_t>(at_get_le32(raw + 5), KVAT_MAX_CHUNK);
    AppendResult(folder, "/broadcast_rsp.bin", raw + 9, n);
}

void ResultFiles::ProjectInfo(const std::string &folder, const std::string &port, const kvat_project_info_record *info, bool print) {
    WriteJsonResult(folder, "/project_info.json", [&](files::json_file &file) { return files::write_project_info(file, *info); });
    if (!print) return;
    const std::uint8_t *raw = reinterpret_cast<const std::uint8_t *>(info);
    std::lock_guard<std::mutex> lock(print_mutex_);
    log_.LogFormat(LogSuccess, "%s project info", port.c_str());
    log_.LogFormat(LogSuccess, "    Project enabled: %s\n", raw[0] != 0 ? "yes" : "no");
    log_.LogFormat(LogSuccess, "    Project size: %d\n", static_cast<int>(at_get_le32(raw + 1)));
    log_.LogFormat(LogSuccess, "    Project CRC32: 0x%08X\n", at_get_le32(raw + 5));
}

}  // namespace kelvra::run
