#include "cli/records_options.h"

#include "host/records/mqtt_settings.h"

#include <filesystem>

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
    return kelvra::records::MakeMqttSettings({options.url, options.ca_file, {}, options.password_file}, settings, usage);
}

std::string DefaultUnitDb(const std::string &out_dir) {
    return (std::filesystem::path(out_dir) / "log" / "units.db").string();
}

}  // namespace kvat::cli
