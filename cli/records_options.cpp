#include "cli/records_options.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace kvat::cli {

void AddMqttOptions(CLI::App &sub, MqttOptions &options, bool required) {
    auto *url = sub.add_option("--mqtt", options.url,
                               "Broker and topic prefix: mqtt://host[:port]/PREFIX or mqtts://host[:port]/PREFIX");
    if (required) url->required();
    sub.add_option("--mqtt-ca", options.ca_file, "mqtts: the CA certificate the broker's certificate must come from");
    sub.add_option("--mqtt-password-file", options.password_file,
                   "A file whose first line is the broker password (else KVAT_MQTT_PASSWORD; the user: KVAT_MQTT_USER)");
}

std::string MakeMqttSettings(const MqttOptions &options, kelvra::records::MqttSettings &settings, bool &usage) {
    usage = true;
    std::string error;
    const auto url = kelvra::records::ParseMqttUrl(options.url, error);
    if (!url) return "--mqtt " + options.url + ": " + error;
    settings.url = *url;
    if (!options.ca_file.empty() && !url->tls) return "--mqtt-ca is for mqtts:// URLs only";
    if (url->tls && options.ca_file.empty()) return "an mqtts:// URL needs --mqtt-ca FILE";
    usage = false;
    if (!options.ca_file.empty()) {
        std::ifstream ca(options.ca_file);
        if (!ca) return "--mqtt-ca " + options.ca_file + ": cannot be read";
        settings.ca_file = options.ca_file;
    }
    if (const char *user = std::getenv("KVAT_MQTT_USER")) settings.user = user;
    if (!options.password_file.empty()) {
        std::ifstream in(options.password_file);
        if (!in) return "--mqtt-password-file " + options.password_file + ": cannot be read";
        std::getline(in, settings.password);
        if (!settings.password.empty() && settings.password.back() == '\r') settings.password.pop_back();
    } else if (const char *password = std::getenv("KVAT_MQTT_PASSWORD")) {
        settings.password = password;
    }
    return {};
}

std::string DefaultUnitDb(const std::string &out_dir) {
    return (std::filesystem::path(out_dir) / "log" / "units.db").string();
}

}  // namespace kvat::cli
