// One connection to an MQTT broker through libmosquitto, driven by its owner's thread: Poll()
// runs the network for a bounded time, calls the handlers on that same thread, and connects
// again after a growing pause when the line is down.
#pragma once

#include "host/records/mqtt_url.h"

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

struct mosquitto;
struct mosquitto_message;

namespace kelvra::records {

struct MqttSettings {
    MqttUrl url;
    std::string ca_file;   // mqtts: the authority the broker's certificate must come from
    std::string user;      // "" : none
    std::string password;
    std::string client_id; // "" : a random one
    bool clean_session = true;
    std::chrono::milliseconds max_backoff{10000};
};

class MqttError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class MqttLink {
public:
    struct Handlers {
        std::function<void()> connected;
        std::function<void()> disconnected;
        std::function<void(int mid)> acknowledged;
        std::function<void(const std::string &topic, const std::string &payload)> message;
    };
    // Throws MqttError when the settings cannot be used (e.g. an unreadable CA file).
    MqttLink(MqttSettings settings, Handlers handlers);
    ~MqttLink();
    MqttLink(const MqttLink &) = delete;
    MqttLink &operator=(const MqttLink &) = delete;

    // Runs the line for at most `timeout`.
    void Poll(std::chrono::milliseconds timeout);
    bool connected() const { return state_ == State::Connected; }
    // Connection attempts that failed since the last success.
    int failures() const { return failures_; }
    // The broker turned our credentials down (a wrong password does not heal by itself).
    bool refused() const { return refused_; }
    // Why the last attempt failed or the line dropped, "" while all is well.
    const std::string &error() const { return error_; }
    // Queues a QoS 1 message; false (and error()) when it cannot be queued.
    bool Publish(const std::string &topic, const std::string &payload, int &mid);
    bool Subscribe(const std::string &pattern);
    // Ends the session politely (what is unsent stays where its owner keeps it).
    void Disconnect();

    static std::string Describe(const MqttUrl &url);

private:
    enum class State { Idle, Connecting, Connected };
    static void on_connect(mosquitto *, void *self, int rc);
    static void on_disconnect(mosquitto *, void *self, int rc);
    static void on_publish(mosquitto *, void *self, int mid);
    static void on_message(mosquitto *, void *self, const mosquitto_message *message);
    static void on_log(mosquitto *, void *self, int level, const char *text);
    void attempt();
    void failed(std::string why);

    MqttSettings settings_;
    Handlers handlers_;
    mosquitto *mosq_ = nullptr;
    State state_ = State::Idle;
    bool ever_tried_ = false;
    int failures_ = 0;
    bool refused_ = false;
    std::string error_;
    std::string last_log_error_;
    std::chrono::milliseconds backoff_{500};
    std::chrono::steady_clock::time_point next_attempt_{};
    std::chrono::steady_clock::time_point connect_started_{};
};

}  // namespace kelvra::records
