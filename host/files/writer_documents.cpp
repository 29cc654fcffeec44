#include "host/files/writer_documents.h"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace kelvra::files {
namespace {

using nlohmann::json;

constexpr config_field kConfigFields[] = {
    {"base config", "erase", 48, 1, false},
    {"base config", "vext", 49, 1, false},
    {"base config", "clock", 50, 1, false},
    {"base config", "buzzer", 51, 1, true},
    {"base config", "option byte type", 52, 1, false},
    {"offline config", "limit enable", 53, 1, true},
    {"offline config", "limit number", 54, 4, false},
    {"offline config", "auto", 58, 1, true},
    {"offline config", "in debounce(ms)", 59, 2, false},
    {"offline config", "out debounce(ms)", 61, 2, false},
    {"output config", "disable power after programming", 63, 1, true},
    {"output config", "run target after programming", 64, 1, true},
    {"output config", "power on debounce(ms)", 65, 2, false},
    {"output config", "power off debounce(ms)", 67, 2, false},
    {"output config", "reset pin ctrl", 69, 1, false},
};

// The table must describe the record header's layout.
static_assert(offsetof(kvat_writer_config, erase) == 48 && offsetof(kvat_writer_config, vext) == 49 &&
              offsetof(kvat_writer_config, clock) == 50 && offsetof(kvat_writer_config, buzzer) == 51 &&
              offsetof(kvat_writer_config, option_byte_type) == 52 &&
              offsetof(kvat_writer_config, limit_enable) == 53 && offsetof(kvat_writer_config, limit_number) == 54 &&
              offsetof(kvat_writer_config, auto_start) == 58 && offsetof(kvat_writer_config, in_debounce_ms) == 59 &&
              offsetof(kvat_writer_config, out_debounce_ms) == 61 &&
              offsetof(kvat_writer_config, disable_power_after_programming) == 63 &&
              offsetof(kvat_writer_config, run_target_after_programming) == 64 &&
              offsetof(kvat_writer_config, power_on_debounce_ms) == 65 &&
              offsetof(kvat_writer_config, power_off_debounce_ms) == 67 &&
              offsetof(kvat_writer_config, reset_pin_ctrl) == 69);

void store_field(kvat_writer_config &config, const config_field &field, std::uint64_t value) {
    auto *bytes = reinterpret_cast<unsigned char *>(&config) + field.offset;
    for (std::size_t i = 0; i < field.width; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

// A text field up to its first zero byte and at most its width.
template <std::size_t N>
std::string field_text(const char (&field)[N]) {
    const void *zero = std::memchr(field, '\0', N);
    return {field, zero != nullptr ? static_cast<std::size_t>(static_cast<const char *>(zero) - field) : N};
}

// Numbers and flags are accepted; fractions are cut off and larger values keep their low bits.
std::uint64_t number_bits(const json &value) {
    if (value.is_number_float()) {
        const double whole = std::trunc(value.get<double>());
        if (!std::isfinite(whole)) return 0;
        // The integer's low 64 bits, computed on its magnitude so that no cast overflows.
        const double magnitude = std::fmod(std::fabs(whole), 18446744073709551616.0);  // 2^64
        const auto bits = static_cast<std::uint64_t>(magnitude);
        return whole < 0 ? 0 - bits : bits;
    }
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    // The library converts integers and throws its own type error for every other type.
    return value.get<std::uint64_t>();
}

template <typename Record>
bool write_document(json_file &file, const Record &record, json (*document)(const Record &)) {
    file.value = document(record);
    return file.is_open() && file.write();
}

}  // namespace

std::span<const config_field> config_fields() { return kConfigFields; }

std::uint32_t field_value(const kvat_writer_config &config, const config_field &field) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(&config) + field.offset;
    std::uint32_t value = 0;
    for (std::size_t i = field.width; i-- > 0;) value = value << 8 | bytes[i];
    return value;
}

json writer_config_document(const kvat_writer_config &config) {
    json document = json::object();
    document["names"]["vendor"] = field_text(config.vendor);
    document["names"]["series"] = field_text(config.series);
    document["names"]["model"] = field_text(config.model);
    for (const config_field &field : kConfigFields) {
        const std::uint32_t value = field_value(config, field);
        json &slot = document[field.group][field.key];
        if (field.written_as_boolean) {
            slot = value != 0;
        } else {
            slot = value;
        }
    }
    return document;
}

json writer_info_document(const kvat_writer_info &info) {
    return json{{"type", field_text(info.type)},
                {"SN", field_text(info.serial_number)},
                {"hardware version", field_text(info.hardware_version)},
                {"bootloader version", field_text(info.bootloader_version)},
                {"interface version", field_text(info.interface_version)}};
}

json project_info_document(const kvat_project_info_record &project) {
    char crc[9];
    std::snprintf(crc, sizeof crc, "%x", static_cast<unsigned>(project.image_crc));
    return json{{"Project enabled", project.enabled != 0 ? "yes" : "no"},
                {"Project size", static_cast<std::uint32_t>(project.image_size)},
                {"Project CRC32", crc}};
}

bool write_writer_config(json_file &file, const kvat_writer_config &config) {
    return write_document(file, config, &writer_config_document);
}

bool write_writer_info(json_file &file, const kvat_writer_info &info) {
    return write_document(file, info, &writer_info_document);
}

bool write_project_info(json_file &file, const kvat_project_info_record &project) {
    return write_document(file, project, &project_info_document);
}

std::string read_writer_config(json_file &file, kvat_writer_config &config) {
    if (!file.is_open()) return kNoConfigFileText;
    if (!file.parse_error().empty()) return file.parse_error();
    try {
        for (const config_field &field : kConfigFields) {
            store_field(config, field, number_bits(file.value.at(field.group).at(field.key)));
        }
    } catch (const nlohmann::json::exception &e) {
        return e.what();
    }
    file.value = nullptr;
    return {};
}

kvat_writer_config writer_config_defaults() {
    kvat_writer_config config{};
    config.erase = 1;
    config.vext = 1;
    config.clock = 1;
    config.buzzer = 1;
    config.option_byte_type = 3;
    config.in_debounce_ms = 100;
    config.out_debounce_ms = 100;
    config.run_target_after_programming = 1;
    config.power_on_debounce_ms = 250;
    config.power_off_debounce_ms = 250;
    config.reset_pin_ctrl = 2;
    return config;
}

}  // namespace kelvra::files
