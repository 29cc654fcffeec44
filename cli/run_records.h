// kvat run's station records: the unit database (on by default, DIR/log/units.db) and, with
// --mqtt, the publisher that sends its outbox to the broker.
#pragma once

#include "cli/records_options.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <string>

namespace kelvra::run {
class RunSession;
}
namespace kelvra::records {
class Publisher;
class UnitRecorder;
}  // namespace kelvra::records

namespace kvat::cli {

class RunOutput;

struct RecordOptions {
    std::string db;
    bool no_db = false;
    std::string station;
    MqttOptions mqtt;
};

void AddRecordOptions(CLI::App &sub, RecordOptions &options);

class RunRecords {
public:
    RunRecords();
    ~RunRecords();
    // Opens the database and attaches the recorder to the session (before its first scan).
    // Returns 0, or the exit status of wrong arguments. A database that cannot be used is an
    // error line: the run goes on without records and Finish() says so.
    int Start(const RecordOptions &options, const std::string &out_dir, const std::string &script,
              kelvra::run::RunSession &session, RunOutput &output);
    // After the run: waits (bounded) for the records and the broker; says what went wrong.
    // False when a record could not be stored.
    bool Finish(RunOutput &output);

private:
    std::unique_ptr<kelvra::records::UnitRecorder> recorder_;
    std::unique_ptr<kelvra::records::Publisher> publisher_;
    bool failed_ = false;  // the database could not be opened
};

}  // namespace kvat::cli
