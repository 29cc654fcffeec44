// The plant's side: subscribes to PREFIX/+/unit and PREFIX/+/run and stores every record once
// (by its UUID) in one unit database. Its session at the broker outlives it (a fixed client id,
// no clean session, QoS 1), so what arrives while it is away waits for it there.
#pragma once

#include "host/records/mqtt_link.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace kelvra::records {

class UnitDb;

class Collector {
public:
    struct Counts {
        std::size_t stored = 0;
        std::size_t duplicates = 0;
        std::size_t skipped = 0;  // messages that were not records, or could not be stored
    };
    using Log = std::function<void(const std::string &line)>;

    // Opens the database (DbError) and the client (MqttError); `settings.client_id` names
    // the session at the broker.
    Collector(MqttSettings settings, const std::string &db_path, Log log, bool verbose = false);
    ~Collector();
    Collector(const Collector &) = delete;
    Collector &operator=(const Collector &) = delete;

    // Runs until `stop` is true, checking it at least every 100 ms.
    void Run(const std::atomic<bool> &stop);
    // One bounded turn of the line (for callers with their own loop).
    void Poll(std::chrono::milliseconds timeout);
    Counts counts() const { return counts_; }
    bool connected() const;

private:
    void on_message(const std::string &topic, const std::string &payload);

    MqttSettings settings_;
    std::unique_ptr<UnitDb> db_;
    std::unique_ptr<MqttLink> link_;
    Log log_;
    bool verbose_ = false;
    Counts counts_;
    std::string said_;  // the last line about the connection, said once
};

}  // namespace kelvra::records
