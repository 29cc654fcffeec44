#include "host/records/publisher.h"

#include "host/records/unit_db.h"

#include <map>
#include <set>
#include <vector>

namespace kelvra::records {
namespace {

constexpr std::size_t kBatch = 200;
constexpr auto kLookEvery = std::chrono::seconds(2);  // the outbox, even unasked (another process may add)

}  // namespace

std::string RecordTopic(const std::string &prefix, const std::string &station, bool unit) {
    return prefix + "/" + station + (unit ? "/unit" : "/run");
}

Publisher::Publisher(MqttSettings settings, const std::string &db_path) : settings_(std::move(settings)) {
    db_ = UnitDb::Open(db_path);
    status_.unsent = db_->UnsentCount();
    thread_ = std::thread([this] { loop(); });
}

Publisher::~Publisher() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void Publisher::Wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wake_ = true;
    }
    changed_.notify_all();
}

Publisher::Status Publisher::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

Publisher::Status Publisher::Flush(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_ = true;
    const std::uint64_t target = looks_started_ + 1;  // the first look that begins after this call
    changed_.notify_all();
    changed_.wait_for(lock, timeout, [&] {
        if (looks_done_ < target) return false;
        return status_.unsent == 0 || status_.refused || (!status_.connected && status_.failures > 0);
    });
    return status_;
}

void Publisher::loop() {
    struct InFlight {
        Outgoing::Kind kind;
        std::string record_id;
    };
    std::map<int, InFlight> in_flight;
    std::set<std::string> queued;  // record ids in flight
    std::vector<int> acked;
    bool fresh_connection = false;
    std::string db_error;
    try {
        link_ = std::make_unique<MqttLink>(
            settings_, MqttLink::Handlers{[&] { fresh_connection = true; },
                                          [&] {
                                              // What was in flight goes again on the next connection.
                                              in_flight.clear();
                                              queued.clear();
                                          },
                                          [&](int mid) { acked.push_back(mid); },
                                          nullptr});
    } catch (const MqttError &e) {
        // No line at all: the outbox is still counted for whoever asks.
        std::unique_lock<std::mutex> lock(mutex_);
        status_.error = e.what();
        status_.refused = true;
        while (!stop_) {
            const std::uint64_t look = ++looks_started_;
            wake_ = false;
            try {
                status_.unsent = db_->UnsentCount();
            } catch (const DbError &) {
            }
            looks_done_ = look;
            changed_.notify_all();
            changed_.wait(lock, [&] { return stop_ || wake_; });
        }
        return;
    }
    auto last_look = std::chrono::steady_clock::now() - kLookEvery;
    for (;;) {
        bool look = false;
        std::uint64_t this_look = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) break;
            look = wake_ || fresh_connection || std::chrono::steady_clock::now() - last_look >= kLookEvery;
            wake_ = false;
            if (look) this_look = ++looks_started_;
        }
        link_->Poll(std::chrono::milliseconds(50));
        try {
            for (const int mid : acked) {
                const auto it = in_flight.find(mid);
                if (it == in_flight.end()) continue;  // of a connection gone since
                db_->MarkSent(it->second.kind, it->second.record_id);
                queued.erase(it->second.record_id);
                in_flight.erase(it);
                std::lock_guard<std::mutex> lock(mutex_);
                ++status_.sent;
            }
            if (!acked.empty() && !look) {
                look = true;
                std::lock_guard<std::mutex> lock(mutex_);
                this_look = ++looks_started_;
            }
            acked.clear();
            if (look && link_->connected()) {
                fresh_connection = false;
                for (const Outgoing &out : db_->Unsent(kBatch)) {
                    if (queued.count(out.record_id) != 0) continue;
                    int mid = 0;
                    const bool unit = out.kind == Outgoing::Kind::Unit;
                    if (!link_->Publish(RecordTopic(settings_.url.prefix, out.station, unit), out.payload, mid)) break;
                    in_flight[mid] = {out.kind, out.record_id};
                    queued.insert(out.record_id);
                }
            }
            std::size_t unsent = 0;
            if (look) {
                last_look = std::chrono::steady_clock::now();
                unsent = db_->UnsentCount();
            }
            db_error.clear();
            std::lock_guard<std::mutex> lock(mutex_);
            if (look) status_.unsent = unsent;
            status_.connected = link_->connected();
            status_.refused = link_->refused();
            status_.failures = link_->failures();
            status_.error = link_->error();
            if (look) looks_done_ = this_look;
        } catch (const DbError &e) {
            std::lock_guard<std::mutex> lock(mutex_);
            status_.error = e.what();
            if (look) looks_done_ = this_look;
        }
        changed_.notify_all();
    }
    link_->Disconnect();
}

}  // namespace kelvra::records
