// The broker settings as a user chooses them (a URL, a CA file, a user, a password file) made
// into what the link needs, checked before anything connects. kvat's options and the desktop
// program's config.json both come through here, so both refuse the same things.
#pragma once

#include "host/records/mqtt_link.h"

#include <string>

namespace kelvra::records {

struct MqttChoice {
    std::string url;            // mqtt://host[:port]/PREFIX or mqtts://…
    std::string ca_file;        // mqtts only, and then needed
    std::string user;           // "" : KVAT_MQTT_USER, if set
    std::string password_file;  // first line; "" : KVAT_MQTT_PASSWORD, if set
};

// How the front end calls each setting in its error lines.
struct MqttChoiceNames {
    std::string url = "--mqtt";
    std::string ca_file = "--mqtt-ca";
    std::string password_file = "--mqtt-password-file";
};

// "" and `settings` filled, or what is wrong. `usage` is true when a setting itself is wrong
// (a URL that does not parse, a CA file where none belongs) and false when a file it names
// cannot be read.
std::string MakeMqttSettings(const MqttChoice &choice, MqttSettings &settings, bool &usage,
                             const MqttChoiceNames &names = {});

}  // namespace kelvra::records
