#include "host/records/mqtt_url.h"

namespace kelvra::records {
namespace {

bool fails(std::string &error, std::string text) {
    error = std::move(text);
    return false;
}

}  // namespace

std::string CheckTopicLevel(const std::string &name) {
    if (name.empty()) return "is empty";
    for (const char c : name) {
        if (c == '/' || c == '+' || c == '#') return std::string("holds '") + c + "'";
        if (static_cast<unsigned char>(c) < 0x20) return "holds a control character";
    }
    return {};
}

std::optional<MqttUrl> ParseMqttUrl(const std::string &text, std::string &error) {
    MqttUrl url;
    std::string rest;
    const auto start_with = [&](const char *scheme) {
        const std::string s = scheme;
        if (text.compare(0, s.size(), s) != 0) return false;
        rest = text.substr(s.size());
        return true;
    };
    if (start_with("mqtts://")) {
        url.tls = true;
        url.port = 8883;
    } else if (!start_with("mqtt://")) {
        error = "the URL must start with mqtt:// or mqtts://";
        return std::nullopt;
    }
    const auto check = [&]() -> bool {
        const std::size_t slash = rest.find('/');
        if (slash == std::string::npos) return fails(error, "no topic prefix: the form is mqtt://host[:port]/PREFIX");
        std::string authority = rest.substr(0, slash);
        url.prefix = rest.substr(slash + 1);
        if (authority.find('@') != std::string::npos) {
            return fails(error, "no user or password in the URL: use KVAT_MQTT_USER and KVAT_MQTT_PASSWORD");
        }
        std::string port_text;
        if (!authority.empty() && authority.front() == '[') {
            const std::size_t close = authority.find(']');
            if (close == std::string::npos) return fails(error, "an IPv6 address without its ']'");
            url.host = authority.substr(1, close - 1);
            const std::string after = authority.substr(close + 1);
            if (!after.empty() && after.front() != ':') return fails(error, "text after the IPv6 address");
            if (!after.empty()) port_text = after.substr(1);
            if (after == ":") return fails(error, "an empty port");
        } else {
            const std::size_t colon = authority.find(':');
            url.host = authority.substr(0, colon);
            if (colon != std::string::npos) {
                port_text = authority.substr(colon + 1);
                if (port_text.empty()) return fails(error, "an empty port");
            }
        }
        if (url.host.empty()) return fails(error, "no host");
        for (const char c : url.host) {
            if (c == ' ' || c == '?' || c == '#' || c == ':' || static_cast<unsigned char>(c) < 0x20) {
                if (c != ':' || authority.front() != '[') return fails(error, "the host \"" + url.host + "\" is not a host name");
            }
        }
        if (!port_text.empty()) {
            if (port_text.size() > 5 || port_text.find_first_not_of("0123456789") != std::string::npos) {
                return fails(error, "the port \"" + port_text + "\" is not a number from 1 to 65535");
            }
            url.port = std::stoi(port_text);
            if (url.port < 1 || url.port > 65535) {
                return fails(error, "the port \"" + port_text + "\" is not a number from 1 to 65535");
            }
        }
        if (url.prefix.empty()) return fails(error, "no topic prefix: the form is mqtt://host[:port]/PREFIX");
        if (url.prefix.find('?') != std::string::npos) return fails(error, "a query ('?') has no meaning here");
        if (url.prefix.find('+') != std::string::npos || url.prefix.find('#') != std::string::npos) {
            return fails(error, "the topic prefix \"" + url.prefix + "\" holds a wildcard ('+' or '#')");
        }
        if (url.prefix.front() == '/' || url.prefix.back() == '/' || url.prefix.find("//") != std::string::npos) {
            return fails(error, "the topic prefix \"" + url.prefix + "\" has an empty level");
        }
        if (url.prefix.front() == '$') return fails(error, "topics starting with '$' belong to the broker");
        for (const char c : url.prefix) {
            if (static_cast<unsigned char>(c) < 0x20) return fails(error, "the topic prefix holds a control character");
        }
        return true;
    };
    if (!check()) return std::nullopt;
    error.clear();
    return url;
}

}  // namespace kelvra::records
