// What the verbs that talk to a broker share: --mqtt URL, --mqtt-ca FILE, the user and password
// from KVAT_MQTT_USER / KVAT_MQTT_PASSWORD or --mqtt-password-file.
#pragma once

#include "host/records/mqtt_link.h"

#include <CLI/CLI.hpp>

#include <string>

namespace kvat::cli {

struct MqttOptions {
    std::string url;
    std::string ca_file;
    std::string password_file;
};

void AddMqttOptions(CLI::App &sub, MqttOptions &options, bool required);

// The settings, or "" replaced by what is wrong (a URL that does not parse, an unreadable
// password file). `usage` tells a wrong argument (exit 2) from an unusable file (exit 3).
std::string MakeMqttSettings(const MqttOptions &options, kelvra::records::MqttSettings &settings, bool &usage);

// The unit database of `kvat run --out DIR`, and of `kvat history` by default.
std::string DefaultUnitDb(const std::string &out_dir);

}  // namespace kvat::cli
