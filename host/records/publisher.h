// Sends the outbox of a unit database to the broker on a thread of its own: every record
// still unsent, QoS 1, each marked sent only when the broker acknowledged it. A broker that
// is down or slow costs the caller nothing: Flush() waits a bounded time at most.
#pragma once

#include "host/records/mqtt_link.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kelvra::records {

class UnitDb;

class Publisher {
public:
    struct Status {
        std::size_t unsent = 0;   // records in the outbox at the last look
        std::size_t sent = 0;     // acknowledged since the start
        bool connected = false;
        bool refused = false;     // the broker turned the credentials down
        int failures = 0;         // connection attempts failed since the last success
        std::string error;        // the last problem with the broker or the database
    };

    // Opens its own connection to the database (throws DbError) and starts the thread
    // (MqttError when the settings cannot be used).
    Publisher(MqttSettings settings, const std::string &db_path);
    ~Publisher();
    Publisher(const Publisher &) = delete;
    Publisher &operator=(const Publisher &) = delete;

    // New records are in the outbox.
    void Wake();
    // Waits until the outbox is empty, or the broker cannot be reached or refused us, or
    // `timeout` passed. Returns the status then.
    Status Flush(std::chrono::milliseconds timeout);
    Status status() const;

private:
    void loop();

    MqttSettings settings_;
    std::unique_ptr<UnitDb> db_;
    std::unique_ptr<MqttLink> link_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Status status_;
    std::uint64_t looks_started_ = 0;  // the thread's looks at the outbox: begun,
    std::uint64_t looks_done_ = 0;     // and the last one finished
    bool wake_ = true;
    bool stop_ = false;
    std::thread thread_;
};

// PREFIX/STATION/unit or PREFIX/STATION/run.
std::string RecordTopic(const std::string &prefix, const std::string &station, bool unit);

}  // namespace kelvra::records
