// config.json: the two check-box settings and the last script, read once before the main
// window exists and written once after it closed; and, where a station publishes its unit
// records, the broker it sends them to.
#pragma once

#include <optional>
#include <string>

namespace kelvra::gui::app {

struct Settings {
    bool print_info = false;   // "print-info"
    bool cover_file = true;    // "cover-file"
    std::string script_path;   // "cur_file_path"
    // "mqtt" as it was in the file (its JSON text), so writing the file never drops or
    // changes it.
    std::optional<std::string> mqtt;
};

// The "mqtt" member: a URL, or an object with "url" and optionally "ca_file", "user",
// "password_file" and "station".
struct MqttConfig {
    std::string url;
    std::string ca_file;
    std::string user;
    std::string password_file;
    std::string station;  // "" : the host name
};

// "" and `config` filled, or what is wrong with the member (given as its JSON text).
std::string ReadMqttConfig(const std::string &member, MqttConfig &config);

// Reads "print-info", "cover-file" and "cur_file_path" in that order and stops at the first
// failure of any kind (no file, not JSON, a key missing, a wrong type): the members read
// before it keep their new values, the others their defaults. Nothing is reported. "mqtt" is
// kept whenever the file is JSON and holds it, whatever else fails.
Settings ReadSettings(const std::string &path);

// Replaces the file with the three members (and "mqtt" when it was read), keys sorted and
// indented by four spaces. The new document is written beside the file and renamed over it,
// so a crash never leaves half of one. False when it could not be written.
bool WriteSettings(const std::string &path, const Settings &settings);

}  // namespace kelvra::gui::app
