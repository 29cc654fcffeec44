#include "host/records/unit_recorder.h"

#include "host/files/sha256.h"
#include "host/records/record_ids.h"

#include <fstream>
#include <sstream>

namespace kelvra::records {

namespace {

// As kvat run ends: stopped, a failed port, a result that could not be saved, or all well.
int exit_status_of(const run::RunSummary &summary) {
    if (summary.stopped) return 130;
    if (!summary.ok) return 1;
    if (!summary.save_failures.empty()) return 5;
    return 0;
}

}  // namespace

UnitRecorder::UnitRecorder(Options options) : options_(std::move(options)) {
    db_ = UnitDb::Open(options_.db_path);
    thread_ = std::thread([this] { work(); });
}

UnitRecorder::~UnitRecorder() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void UnitRecorder::SetScript(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string bytes = text.str();
    std::lock_guard<std::mutex> lock(mutex_);
    script_ = path;
    script_sha256_ = in ? files::Sha256Hex(bytes.data(), bytes.size()) : std::string();
}

std::string UnitRecorder::run_id() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return run_.run_id;
}

std::vector<std::string> UnitRecorder::errors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
}

void UnitRecorder::queue(Job job) {
    // With mutex_ held.
    jobs_.push_back(std::move(job));
    wake_.notify_all();
}

void UnitRecorder::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
        if (jobs_.empty()) break;  // stopping, and all written
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        busy_ = true;
        lock.unlock();
        std::string error;
        try {
            job(*db_);
        } catch (const DbError &e) {
            error = e.what();
        }
        if (error.empty() && options_.stored) options_.stored();
        lock.lock();
        busy_ = false;
        if (!error.empty()) errors_.push_back("unit database: " + error);
        if (jobs_.empty()) idle_.notify_all();
    }
    idle_.notify_all();
}

bool UnitRecorder::Drain(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, timeout, [&] { return jobs_.empty() && !busy_; });
}

void UnitRecorder::OnEvent(const run::RunEvent &event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (const auto *scan = std::get_if<run::ScanFinished>(&event)) {
        writers_.clear();
        for (const run::PortRecord &port : scan->ports) writers_[port.name] = port.writer;
    } else if (const auto *started = std::get_if<run::RunStarted>(&event)) {
        run_ = RunRow{};
        run_.run_id = NewUuid();
        run_.start_record_id = NewUuid();
        run_.station = options_.station;
        run_.script = script_;
        run_.script_sha256 = script_sha256_;
        run_.started = UtcNow();
        in_run_ = true;
        ports_.clear();
        for (const run::PortRecord &port : started->ports) {
            writers_[port.name] = port.writer;
            ports_[port.name].writer = port.writer;
        }
        queue([run = run_](UnitDb &db) { db.BeginRun(run); });
    } else if (const auto *step = std::get_if<run::StepDone>(&event)) {
        if (!in_run_) return;
        PortState &port = ports_[step->port];
        if (port.failed_step != 0) return;
        port.message = step->message;
        const auto first = port.message.find_first_not_of(' ');
        port.message.erase(0, first == std::string::npos ? port.message.size() : first);
        if (step->result != 0) {
            port.failed_step = step->step;
            port.failed_command = step->command_line;
            if (!step->detail.empty()) port.message += ": " + step->detail;
        }
    } else if (const auto *end = std::get_if<run::PortEnded>(&event)) {
        if (!in_run_) return;
        PortState &port = ports_[end->port];
        const auto known = writers_.find(end->port);
        const run::WriterIdentity &writer = known != writers_.end() ? known->second : port.writer;
        UnitRow u;
        u.record_id = NewUuid();
        u.run_id = run_.run_id;
        u.station = run_.station;
        u.script = run_.script;
        u.script_sha256 = run_.script_sha256;
        u.port = end->port;
        u.writer_serial = end->unit.writer_serial.empty() ? writer.serial_number : end->unit.writer_serial;
        u.writer_type = writer.type;
        u.hw_version = writer.hardware_version;
        u.bootloader_version = writer.bootloader_version;
        u.fw_version = writer.interface_version;
        u.chip_id = end->unit.chip_id;
        if (end->unit.unit_serial) u.unit_serial = std::to_string(*end->unit.unit_serial);
        u.image_sha256 = end->unit.image_sha256;
        u.result = end->result;
        u.message = port.message;
        u.failed_step = port.failed_step;
        u.failed_command = port.failed_command;
        u.verified = end->unit.verified;
        u.bytes_written = end->unit.bytes_written;
        u.bytes_read = end->unit.bytes_read;
        u.started = end->unit.started;
        u.ended = end->unit.ended;
        u.duration_ms = end->unit.duration_ms;
        queue([u = std::move(u)](UnitDb &db) { db.AddUnit(u); });
    } else if (const auto *finished = std::get_if<run::RunFinished>(&event)) {
        if (!in_run_) return;
        in_run_ = false;
        queue([id = run_.run_id, end_id = NewUuid(), ended = UtcNow(), status = exit_status_of(finished->summary),
               stopped = finished->summary.stopped](UnitDb &db) { db.EndRun(id, end_id, ended, status, stopped); });
    }
}

}  // namespace kelvra::records
