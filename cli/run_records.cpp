#include "cli/run_records.h"

#include "cli/run_output.h"
#include "cli/verb.h"
#include "host/records/publisher.h"
#include "host/records/record_ids.h"
#include "host/records/unit_recorder.h"
#include "host/run/run_session.h"

#include <filesystem>

namespace kvat::cli {
namespace {

constexpr auto kDrainWait = std::chrono::seconds(10);    // the last unit's transaction
constexpr auto kBrokerWait = std::chrono::seconds(5);    // a connected broker's acknowledgements

}  // namespace

void AddRecordOptions(CLI::App &sub, RecordOptions &o) {
    sub.add_option("--db", o.db, "Unit database (default: OUT/log/units.db)");
    sub.add_flag("--no-db", o.no_db, "Keep no unit database (and publish nothing)");
    sub.add_option("--station", o.station, "This station's name in the records (default: the host name)");
    AddMqttOptions(sub, o.mqtt, false);
}

RunRecords::RunRecords() = default;

RunRecords::~RunRecords() {
    // The recorder may still wake the publisher: it goes first.
    recorder_.reset();
    publisher_.reset();
}

int RunRecords::Start(const RecordOptions &o, const std::string &out_dir, const std::string &script,
                      kelvra::run::RunSession &session, RunOutput &output) {
    if (o.no_db) {
        if (!o.mqtt.url.empty() || !o.db.empty()) {
            output.Note("kvat run: --no-db keeps no records: --db and --mqtt have nothing to do");
            return kExitUsage;
        }
        return kExitOk;
    }
    std::string station = o.station.empty() ? kelvra::records::HostName() : o.station;
    if (station.empty()) station = "station";
    if (const std::string why = kelvra::records::CheckTopicLevel(station); !why.empty()) {
        output.Note("kvat run: --station \"" + station + "\" " + why + " (it names a topic level)");
        return kExitUsage;
    }
    kelvra::records::MqttSettings settings;
    if (!o.mqtt.url.empty()) {
        bool usage = false;
        if (const std::string error = MakeMqttSettings(o.mqtt, settings, usage); !error.empty()) {
            output.Note("kvat run: " + error);
            return usage ? kExitUsage : kExitInput;
        }
    } else if (!o.mqtt.ca_file.empty() || !o.mqtt.password_file.empty()) {
        output.Note("kvat run: --mqtt-ca and --mqtt-password-file need --mqtt URL");
        return kExitUsage;
    }
    const std::string path = o.db.empty() ? DefaultUnitDb(out_dir) : o.db;
    try {
        if (o.db.empty()) {
            std::error_code ignored;
            std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
        }
        if (!o.mqtt.url.empty()) publisher_ = std::make_unique<kelvra::records::Publisher>(settings, path);
        kelvra::records::Publisher *publisher = publisher_.get();
        recorder_ = std::make_unique<kelvra::records::UnitRecorder>(kelvra::records::UnitRecorder::Options{
            path, station, [publisher] {
                if (publisher) publisher->Wake();
            }});
    } catch (const std::exception &e) {
        // The writers' results still go to their files and the run log; the exit status tells.
        output.Note(std::string("kvat run: ") + e.what() + "; the run goes on without unit records");
        publisher_.reset();
        recorder_.reset();
        failed_ = true;
        return kExitOk;
    }
    recorder_->SetScript(script);
    session.AddListener(*recorder_);
    return kExitOk;
}

bool RunRecords::Finish(RunOutput &output) {
    if (!recorder_) return !failed_;
    bool ok = recorder_->Drain(kDrainWait);
    if (!ok) output.Note("kvat run: unit database: the last records were not written in time");
    for (const std::string &error : recorder_->errors()) {
        output.Note("kvat run: " + error);
        ok = false;
    }
    if (publisher_) {
        const auto status = publisher_->Flush(kBrokerWait);
        if (status.unsent > 0) {
            output.Note("kvat run: " + (status.error.empty() ? std::string("mqtt: the broker did not acknowledge in time")
                                                              : status.error));
            output.Note("kvat run: " + std::to_string(status.unsent) +
                        " record(s) not sent yet; they go with the next run or kvat sync");
        }
    }
    return ok;
}

}  // namespace kvat::cli
