#include "host/records/mqtt_settings.h"

#include "host/records/mqtt_url.h"

#include <cstdlib>
#include <fstream>

namespace kelvra::records {

std::string MakeMqttSettings(const MqttChoice &choice, MqttSettings &settings, bool &usage,
                             const MqttChoiceNames &names) {
    usage = true;
    std::string error;
    const auto url = ParseMqttUrl(choice.url, error);
    if (!url) return names.url + " " + choice.url + ": " + error;
    settings.url = *url;
    if (!choice.ca_file.empty() && !url->tls) return names.ca_file + " is for mqtts:// URLs only";
    if (url->tls && choice.ca_file.empty()) return "an mqtts:// URL needs " + names.ca_file + " FILE";
    usage = false;
    if (!choice.ca_file.empty()) {
        std::ifstream ca(choice.ca_file);
        if (!ca) return names.ca_file + " " + choice.ca_file + ": cannot be read";
        settings.ca_file = choice.ca_file;
    }
    if (!choice.user.empty()) {
        settings.user = choice.user;
    } else if (const char *user = std::getenv("KVAT_MQTT_USER")) {
        settings.user = user;
    }
    if (!choice.password_file.empty()) {
        std::ifstream in(choice.password_file);
        if (!in) return names.password_file + " " + choice.password_file + ": cannot be read";
        std::getline(in, settings.password);
        if (!settings.password.empty() && settings.password.back() == '\r') settings.password.pop_back();
    } else if (const char *password = std::getenv("KVAT_MQTT_PASSWORD")) {
        settings.password = password;
    }
    return {};
}

}  // namespace kelvra::records
