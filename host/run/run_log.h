// The run log: one JSON document per run that says, per port, which commands succeeded, which
// one failed and how the port's run ended. The file is always whole: a snapshot is written
// beside it and renamed over it, by a thread of its own at most every `interval_ms`, at once
// when a port ends, and for the last time by Finish().
#pragma once

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelvra::run {

class RunLog {
public:
    // Called with the path and the reason when a write fails; may be called from the writer
    // thread.
    using SaveFailed = std::function<void(const std::string &path, const std::string &reason)>;

    // With `enabled` false nothing is ever written (to measure what the log costs).
    RunLog(bool enabled, unsigned interval_ms, SaveFailed on_failure);
    ~RunLog();
    RunLog(const RunLog &) = delete;
    RunLog &operator=(const RunLog &) = delete;

    // A new, empty document for a run, written to `path`.
    void Begin(const std::string &path);
    void StepSucceeded(const std::string &port, unsigned step, const std::string &command_line);
    void StepFailed(const std::string &port, unsigned step, const std::string &command_line,
                    const std::string &message);
    // The serial number the run writes into the port's unit.
    void UnitSerial(const std::string &port, std::uint64_t number);
    // The port's run ended: written at once (by the writer thread).
    void PortEnded(const std::string &port, bool ok, unsigned total_steps);
    // The port did not finish its list: neither passed nor failed.
    void PortStopped(const std::string &port);
    // Writes the document for the last time, on the caller's thread, and empties it.
    void Finish();

    bool enabled() const { return enabled_; }
    std::string path() const;
    nlohmann::json document() const;

private:
    void Changed(bool now);  // with mutex_ held
    void Writer();
    void Write(const nlohmann::json &document, const std::string &path, std::uint64_t generation);

    const bool enabled_;
    const unsigned interval_ms_;
    SaveFailed on_failure_;

    mutable std::mutex mutex_;
    nlohmann::json document_ = nlohmann::json::object();
    std::string path_;
    bool active_ = false;         // between Begin and Finish
    std::uint64_t generation_ = 0;  // bumped at every change
    std::uint64_t taken_ = 0;       // the generation the writer last took
    bool now_ = false;
    bool quit_ = false;
    std::condition_variable wake_;

    // Serialises the file writes; the newest generation on disk never goes back.
    std::mutex file_mutex_;
    std::uint64_t written_ = 0;

    std::thread thread_;  // last: it uses everything above
};

}  // namespace kelvra::run
