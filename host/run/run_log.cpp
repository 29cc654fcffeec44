#include "host/run/run_log.h"

#include "host/files/json_file.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace kelvra::run {
namespace {

std::string errno_text(int error) { return error != 0 ? std::strerror(error) : "unknown error"; }

}  // namespace

RunLog::RunLog(bool enabled, unsigned interval_ms, SaveFailed on_failure)
    : enabled_(enabled), interval_ms_(interval_ms), on_failure_(std::move(on_failure)) {
    if (enabled_) thread_ = std::thread([this] { Writer(); });
}

RunLog::~RunLog() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::string RunLog::path() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return path_;
}

nlohmann::json RunLog::document() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return document_;
}

void RunLog::Begin(const std::string &path) {
    std::lock_guard<std::mutex> lock(mutex_);
    document_ = nlohmann::json::object();
    path_ = path;
    active_ = true;
}

void RunLog::StepSucceeded(const std::string &port, unsigned step, const std::string &command_line) {
    std::lock_guard<std::mutex> lock(mutex_);
    document_[port]["logs"]["succeed instruct"].push_back(command_line);
    document_[port]["final step"] = step;
    Changed(false);
}

void RunLog::StepFailed(const std::string &port, unsigned step, const std::string &command_line,
                        const std::string &message) {
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::json &failed = document_[port]["logs"]["failed instruct"];
    failed["line num"] = step;
    failed["cmd"] = command_line;
    failed["err msg"] = message;
    document_[port]["final step"] = step;
    Changed(false);
}

void RunLog::PortEnded(const std::string &port, bool ok, unsigned total_steps) {
    std::lock_guard<std::mutex> lock(mutex_);
    document_[port]["-result"] = ok;
    document_[port]["-total step"] = total_steps;
    Changed(true);
}

void RunLog::UnitSerial(const std::string &port, std::uint64_t number) {
    std::lock_guard<std::mutex> lock(mutex_);
    document_[port]["unit_serial"] = number;
    Changed(false);
}

void RunLog::PortStopped(const std::string &port) {
    std::lock_guard<std::mutex> lock(mutex_);
    document_[port]["-stopped"] = true;
    Changed(false);
}

void RunLog::Finish() {
    nlohmann::json document;
    std::string path;
    std::uint64_t generation;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!active_) return;
        active_ = false;
        document = std::move(document_);
        document_ = nlohmann::json::object();
        path = path_;
        generation = ++generation_;
        taken_ = generation;
    }
    if (enabled_) Write(document, path, generation);
}

void RunLog::Changed(bool now) {
    if (!enabled_) return;
    ++generation_;
    if (now) {
        now_ = true;
        wake_.notify_all();
    }
}

void RunLog::Writer() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait_for(lock, std::chrono::milliseconds(interval_ms_), [this] { return quit_ || now_; });
        if (quit_) return;
        now_ = false;
        if (!active_ || generation_ == taken_) continue;
        // A copy under the lock; the file is written while the ports carry on.
        const nlohmann::json document = document_;
        const std::string path = path_;
        const std::uint64_t generation = generation_;
        taken_ = generation;
        lock.unlock();
        Write(document, path, generation);
        lock.lock();
    }
}

void RunLog::Write(const nlohmann::json &document, const std::string &path, std::uint64_t generation) {
    std::lock_guard<std::mutex> lock(file_mutex_);
    if (generation <= written_) return;  // a newer one is already on disk
    // Written beside and renamed over the old file, so a reader or a crash never meets half a
    // document.
    const std::string temporary = path + ".part.json";
    errno = 0;
    files::json_file file(temporary, files::json_file::mode::write);
    if (!file.is_open()) {
        if (on_failure_) on_failure_(path, errno_text(errno));
        return;
    }
    file.value = document;
    const bool written = file.write();
    const int write_error = errno;
    file.close();
    std::error_code error;
    if (!written) {
        fs::remove(temporary, error);
        if (on_failure_) on_failure_(path, errno_text(write_error));
        return;
    }
    fs::rename(temporary, path, error);
    if (error) {
        fs::remove(temporary, error);
        if (on_failure_) on_failure_(path, error.message());
        return;
    }
    written_ = generation;
}

}  // namespace kelvra::run
