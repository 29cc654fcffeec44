// Listens to a run session and records every run and unit in the unit database: the run at
// RunStarted, one row (one transaction) at each PortEnded, the run's end at RunFinished. The
// writes happen on a thread of its own, so a slow disk never holds a port's thread; what could
// not be written is kept as an error line for the front end, and the run goes on.
#pragma once

#include "host/records/unit_db.h"
#include "host/run/run_events.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelvra::records {

class UnitRecorder final : public run::IRunListener {
public:
    struct Options {
        std::string db_path;
        std::string station;
        std::function<void()> stored;  // after each record written (e.g. to wake a publisher)
    };
    // Opens (or creates) the database; throws DbError.
    explicit UnitRecorder(Options options);
    // Writes what is queued, then stops its thread.
    ~UnitRecorder() override;
    UnitRecorder(const UnitRecorder &) = delete;
    UnitRecorder &operator=(const UnitRecorder &) = delete;

    // The script of the next runs: its path as given and the SHA-256 of its text.
    void SetScript(const std::string &path);
    void OnEvent(const run::RunEvent &event) override;

    // Waits until everything the events asked for is written, at most `timeout`; true then.
    bool Drain(std::chrono::milliseconds timeout);
    // What could not be written, one line each, since the start.
    std::vector<std::string> errors() const;
    std::string run_id() const;
    const std::string &db_path() const { return options_.db_path; }

private:
    using Job = std::function<void(UnitDb &)>;
    void queue(Job job);
    void work();

    struct PortState {
        run::WriterIdentity writer;
        std::string message;
        std::int64_t failed_step = 0;
        std::string failed_command;
    };

    Options options_;
    std::unique_ptr<UnitDb> db_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Job> jobs_;
    bool busy_ = false;
    bool stop_ = false;
    std::vector<std::string> errors_;
    std::string script_;
    std::string script_sha256_;
    RunRow run_;
    bool in_run_ = false;
    std::map<std::string, run::WriterIdentity> writers_;  // by port, from the scan
    std::map<std::string, PortState> ports_;
    std::thread thread_;
};

}  // namespace kelvra::records
