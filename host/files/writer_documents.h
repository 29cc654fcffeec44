// JSON documents of the writer's records: configuration (both directions), writer information
// and offline project information (written only).
#pragma once

#include "host/files/json_file.h"

#include <kelvra_at_records.h>

#include <nlohmann/json.hpp>

#include <span>
#include <string>

namespace kelvra::files {

// Text of the conversion when the document could not be opened as JSON.
inline constexpr const char *kNoConfigFileText = "文件不存在或文件格式错误";

nlohmann::json writer_config_document(const kvat_writer_config &config);
nlohmann::json writer_info_document(const kvat_writer_info &info);
nlohmann::json project_info_document(const kvat_project_info_record &project);

// Clear `file.value`, fill it from the record and write it when the file is open.
bool write_writer_config(json_file &file, const kvat_writer_config &config);
bool write_writer_info(json_file &file, const kvat_writer_info &info);
bool write_project_info(json_file &file, const kvat_project_info_record &project);

// Reads the 15 numbers and flags of the document into `config` in table order, each stored as
// soon as it is read. Returns "" on success, else the error text; the fields read before the
// error keep their new values and the name fields are never touched.
std::string read_writer_config(json_file &file, kvat_writer_config &config);

// The configuration the configuration dialog starts from.
kvat_writer_config writer_config_defaults();

// One number or flag of the configuration record.
struct config_field {
    const char *group;
    const char *key;
    std::size_t offset;
    std::size_t width;
    bool written_as_boolean;
};

// The fields in reading order ("base config" first).
std::span<const config_field> config_fields();
std::uint32_t field_value(const kvat_writer_config &config, const config_field &field);

}  // namespace kelvra::files
