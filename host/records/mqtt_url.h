// Where the records go: mqtt://host[:port]/PREFIX or mqtts://host[:port]/PREFIX (TLS).
#pragma once

#include <optional>
#include <string>

namespace kelvra::records {

struct MqttUrl {
    bool tls = false;
    std::string host;
    int port = 1883;
    std::string prefix;  // topic levels before STATION/unit, without a slash at either end
};

// The URL, or nullopt with `error` saying what is wrong with it.
std::optional<MqttUrl> ParseMqttUrl(const std::string &text, std::string &error);

// A station's name as one topic level: not empty, no '/', '+' or '#'. "" when fine.
std::string CheckTopicLevel(const std::string &name);

}  // namespace kelvra::records
