#include "host/records/mqtt_link.h"

#include "host/records/record_ids.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace kelvra::records {
namespace {

constexpr int kKeepAliveSeconds = 10;
constexpr auto kConnectWait = std::chrono::seconds(10);  // for the broker's answer to CONNECT

void init_library() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

std::string rc_text(int rc) {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
    return mosquitto_strerror(rc);
}

}  // namespace

std::string MqttLink::Describe(const MqttUrl &url) {
    return std::string(url.tls ? "mqtts://" : "mqtt://") + url.host + ":" + std::to_string(url.port);
}

MqttLink::MqttLink(MqttSettings settings, Handlers handlers)
    : settings_(std::move(settings)), handlers_(std::move(handlers)) {
    init_library();
    if (settings_.client_id.empty()) settings_.client_id = "kvat-" + NewUuid().substr(0, 18);
    mosq_ = mosquitto_new(settings_.client_id.c_str(), settings_.clean_session, this);
    if (mosq_ == nullptr) throw MqttError("mqtt: cannot make a client: " + rc_text(MOSQ_ERR_ERRNO));
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq_, on_connect);
    mosquitto_disconnect_callback_set(mosq_, on_disconnect);
    mosquitto_publish_callback_set(mosq_, on_publish);
    mosquitto_message_callback_set(mosq_, on_message);
    mosquitto_log_callback_set(mosq_, on_log);
    if (!settings_.user.empty() || !settings_.password.empty()) {
        mosquitto_username_pw_set(mosq_, settings_.user.c_str(), settings_.password.c_str());
    }
    if (settings_.url.tls) {
        if (settings_.ca_file.empty()) {
            mosquitto_destroy(mosq_);
            throw MqttError("mqtt: an mqtts:// broker needs --mqtt-ca FILE (the authority of its certificate)");
        }
        const int rc = mosquitto_tls_set(mosq_, settings_.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(mosq_);
            throw MqttError("mqtt: cannot use the CA file " + settings_.ca_file + ": " + rc_text(rc));
        }
    } else if (!settings_.ca_file.empty()) {
        mosquitto_destroy(mosq_);
        throw MqttError("mqtt: --mqtt-ca is for mqtts:// URLs only");
    }
}

MqttLink::~MqttLink() {
    if (state_ != State::Idle) mosquitto_disconnect(mosq_);
    mosquitto_destroy(mosq_);
}

void MqttLink::failed(std::string why) {
    if (!last_log_error_.empty() && why.find(last_log_error_) == std::string::npos) why += " (" + last_log_error_ + ")";
    last_log_error_.clear();
    error_ = std::move(why);
    ++failures_;
    state_ = State::Idle;
    next_attempt_ = std::chrono::steady_clock::now() + backoff_;
    backoff_ = std::min(backoff_ * 2, settings_.max_backoff);
}

void MqttLink::attempt() {
    // The first call keeps the host and port; later ones reuse them.
    const int rc = ever_tried_ ? mosquitto_reconnect_async(mosq_)
                               : mosquitto_connect_async(mosq_, settings_.url.host.c_str(), settings_.url.port,
                                                         kKeepAliveSeconds);
    if (rc != MOSQ_ERR_INVAL) ever_tried_ = true;
    if (rc != MOSQ_ERR_SUCCESS) {
        failed("mqtt: cannot reach " + Describe(settings_.url) + ": " + rc_text(rc));
        return;
    }
    state_ = State::Connecting;
    connect_started_ = std::chrono::steady_clock::now();
}

void MqttLink::Poll(std::chrono::milliseconds timeout) {
    const auto now = std::chrono::steady_clock::now();
    if (state_ == State::Idle) {
        if (now < next_attempt_) {
            std::this_thread::sleep_for(std::min(timeout, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                              next_attempt_ - now)));
            return;
        }
        attempt();
        if (state_ == State::Idle) return;
    }
    const int rc = mosquitto_loop(mosq_, static_cast<int>(timeout.count()), 1);
    if (rc != MOSQ_ERR_SUCCESS && state_ != State::Idle) {
        const bool was_connected = state_ == State::Connected;
        mosquitto_disconnect(mosq_);
        if (was_connected) {
            failed("mqtt: lost the connection to " + Describe(settings_.url) + ": " + rc_text(rc));
            failures_ = 0;  // a dropped line is not a failed attempt
            if (handlers_.disconnected) handlers_.disconnected();
        } else if (!refused_ || error_.empty()) {
            failed("mqtt: cannot connect to " + Describe(settings_.url) + ": " + rc_text(rc));
        } else {
            state_ = State::Idle;
        }
        return;
    }
    if (state_ == State::Connecting && std::chrono::steady_clock::now() - connect_started_ > kConnectWait) {
        mosquitto_disconnect(mosq_);
        failed("mqtt: " + Describe(settings_.url) + " did not answer the connection request");
    }
}

bool MqttLink::Publish(const std::string &topic, const std::string &payload, int &mid) {
    const int rc = mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                                     false);
    if (rc == MOSQ_ERR_SUCCESS) return true;
    error_ = "mqtt: cannot publish on " + topic + ": " + rc_text(rc);
    return false;
}

bool MqttLink::Subscribe(const std::string &pattern) {
    const int rc = mosquitto_subscribe(mosq_, nullptr, pattern.c_str(), 1);
    if (rc == MOSQ_ERR_SUCCESS) return true;
    error_ = "mqtt: cannot subscribe to " + pattern + ": " + rc_text(rc);
    return false;
}

void MqttLink::Disconnect() {
    if (state_ == State::Idle) return;
    mosquitto_disconnect(mosq_);
    // Lets the DISCONNECT go out.
    mosquitto_loop(mosq_, 50, 1);
    state_ = State::Idle;
}

void MqttLink::on_connect(mosquitto *, void *self, int rc) {
    auto *link = static_cast<MqttLink *>(self);
    if (rc != 0) {
        link->refused_ = rc == 4 || rc == 5;  // bad user name or password; not authorised
        link->failed("mqtt: " + Describe(link->settings_.url) + " refused the connection: " + mosquitto_connack_string(rc));
        return;
    }
    link->state_ = State::Connected;
    link->failures_ = 0;
    link->refused_ = false;
    link->error_.clear();
    link->last_log_error_.clear();
    link->backoff_ = std::chrono::milliseconds(500);
    if (link->handlers_.connected) link->handlers_.connected();
}

void MqttLink::on_disconnect(mosquitto *, void *self, int rc) {
    auto *link = static_cast<MqttLink *>(self);
    if (link->state_ != State::Connected) return;
    if (rc != 0) {
        link->failed("mqtt: lost the connection to " + Describe(link->settings_.url));
        link->failures_ = 0;
    } else {
        link->state_ = State::Idle;
    }
    if (link->handlers_.disconnected) link->handlers_.disconnected();
}

void MqttLink::on_publish(mosquitto *, void *self, int mid) {
    auto *link = static_cast<MqttLink *>(self);
    if (link->handlers_.acknowledged) link->handlers_.acknowledged(mid);
}

void MqttLink::on_message(mosquitto *, void *self, const mosquitto_message *message) {
    auto *link = static_cast<MqttLink *>(self);
    if (!link->handlers_.message) return;
    const std::string payload(static_cast<const char *>(message->payload),
                              static_cast<std::size_t>(message->payloadlen > 0 ? message->payloadlen : 0));
    link->handlers_.message(message->topic ? message->topic : "", payload);
}

void MqttLink::on_log(mosquitto *, void *self, int level, const char *text) {
    // TLS failures are told only here (OpenSSL's own words).
    if ((level & MOSQ_LOG_ERR) != 0 && text != nullptr) static_cast<MqttLink *>(self)->last_log_error_ = text;
}

}  // namespace kelvra::records
