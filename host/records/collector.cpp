#include "host/records/collector.h"

#include "host/records/record_json.h"
#include "host/records/unit_db.h"

namespace kelvra::records {

Collector::Collector(MqttSettings settings, const std::string &db_path, Log log, bool verbose)
    : settings_(std::move(settings)), log_(std::move(log)), verbose_(verbose) {
    settings_.clean_session = false;
    if (settings_.client_id.empty()) settings_.client_id = "kvat-collect";
    if (settings_.max_backoff < std::chrono::seconds(30)) settings_.max_backoff = std::chrono::seconds(30);
    db_ = UnitDb::Open(db_path);
    link_ = std::make_unique<MqttLink>(
        settings_, MqttLink::Handlers{[this] {
                                          const std::string base = settings_.url.prefix + "/+/";
                                          link_->Subscribe(base + "unit");
                                          link_->Subscribe(base + "run");
                                          said_ = "collect: connected to " + MqttLink::Describe(settings_.url) +
                                                  ", listening on " + base + "unit and " + base + "run";
                                          log_(said_);
                                      },
                                      nullptr, nullptr,
                                      [this](const std::string &topic, const std::string &payload) {
                                          on_message(topic, payload);
                                      }});
}

Collector::~Collector() { link_->Disconnect(); }

bool Collector::connected() const { return link_->connected(); }

void Collector::Poll(std::chrono::milliseconds timeout) {
    link_->Poll(timeout);
    if (!link_->error().empty() && link_->error() != said_) {
        said_ = link_->error();
        log_(said_ + "; trying again");
    }
}

void Collector::Run(const std::atomic<bool> &stop) {
    while (!stop.load()) Poll(std::chrono::milliseconds(100));
}

void Collector::on_message(const std::string &topic, const std::string &payload) {
    const bool unit = topic.size() >= 5 && topic.compare(topic.size() - 5, 5, "/unit") == 0;
    std::string why;
    try {
        if (unit) {
            UnitRow row;
            why = ParseUnit(payload, row);
            if (why.empty()) {
                if (db_->StoreUnit(row)) {
                    ++counts_.stored;
                    if (verbose_) log_("collect: unit " + row.record_id + " of " + row.station + " " + row.port);
                } else {
                    ++counts_.duplicates;
                }
                return;
            }
        } else {
            RunRow row;
            why = ParseRun(payload, row);
            if (why.empty()) {
                if (db_->StoreRunMessage(row)) {
                    ++counts_.stored;
                    if (verbose_) log_("collect: run " + row.run_id + " of " + row.station);
                } else {
                    ++counts_.duplicates;
                }
                return;
            }
        }
        why = "not a record: " + why;
    } catch (const DbError &e) {
        why = std::string("cannot store it: ") + e.what();
    }
    ++counts_.skipped;
    log_("collect: skipped a message on " + topic + " (" + std::to_string(payload.size()) + " bytes): " + why);
}

}  // namespace kelvra::records
