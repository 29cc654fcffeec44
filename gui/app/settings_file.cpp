#include "gui/app/settings_file.h"

#include "host/files/json_file.h"

#include <cmath>
#include <cstdint>
#include <filesystem>

namespace kelvra::gui::app {
namespace {

// A boolean, or a number taken as an integer (nonzero is true); anything else throws.
bool Flag(const nlohmann::json &value) {
    if (value.is_boolean()) return value.get<bool>();
    // As a 32-bit int: larger integers keep their low bits, fractions are cut off.
    if (value.is_number_unsigned()) return static_cast<std::int32_t>(value.get<std::uint64_t>()) != 0;
    if (value.is_number_integer()) return static_cast<std::int32_t>(value.get<std::int64_t>()) != 0;
    if (value.is_number_float()) return std::trunc(value.get<double>()) != 0.0;
    throw nlohmann::json::type_error::create(302, "type must be boolean or number", &value);
}

}  // namespace

Settings ReadSettings(const std::string &path) {
    Settings settings;
    files::json_file file(path, files::json_file::mode::read);
    if (!file.is_open() || !file.parse_error().empty()) return settings;
    if (file.value.is_object() && file.value.contains("mqtt")) settings.mqtt = file.value["mqtt"].dump();
    try {
        settings.print_info = Flag(file.value.at("print-info"));
        settings.cover_file = Flag(file.value.at("cover-file"));
        const nlohmann::json &script = file.value.at("cur_file_path");
        if (!script.is_string()) return settings;
        settings.script_path = script.get<std::string>();
    } catch (const nlohmann::json::exception &) {
        // Reading stops here; what was read stays.
    }
    return settings;
}

std::string ReadMqttConfig(const std::string &text, MqttConfig &config) {
    config = {};
    const nlohmann::json member = nlohmann::json::parse(text, nullptr, false);
    if (member.is_discarded()) return "\"mqtt\" is not JSON";
    if (member.is_string()) {
        config.url = member.get<std::string>();
        return config.url.empty() ? "\"mqtt\" is an empty URL" : "";
    }
    if (!member.is_object()) return "\"mqtt\" must be a URL or an object with \"url\"";
    const std::pair<const char *, std::string *> fields[] = {{"url", &config.url},
                                                             {"ca_file", &config.ca_file},
                                                             {"user", &config.user},
                                                             {"password_file", &config.password_file},
                                                             {"station", &config.station}};
    for (const auto &[name, field] : fields) {
        const auto found = member.find(name);
        if (found == member.end()) continue;
        if (!found->is_string()) return std::string("\"mqtt\": \"") + name + "\" must be a string";
        *field = found->get<std::string>();
    }
    for (const auto &item : member.items()) {
        bool known = false;
        for (const auto &[name, field] : fields) known = known || item.key() == name;
        if (!known) return "\"mqtt\": unknown member \"" + item.key() + "\"";
    }
    if (config.url.empty()) return "\"mqtt\" has no \"url\"";
    return {};
}

bool WriteSettings(const std::string &path, const Settings &settings) {
    const std::string temporary = path + ".part.json";
    {
        files::json_file file(temporary, files::json_file::mode::write);
        if (!file.is_open()) return false;
        file.value = nlohmann::json::object();
        file.value["cover-file"] = settings.cover_file;
        file.value["cur_file_path"] = settings.script_path;
        file.value["print-info"] = settings.print_info;
        if (settings.mqtt) file.value["mqtt"] = nlohmann::json::parse(*settings.mqtt, nullptr, false);
        const bool written = file.write();
        file.close();
        if (!written) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    return !error;
}

}  // namespace kelvra::gui::app
