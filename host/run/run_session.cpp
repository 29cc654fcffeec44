#include "host/run/run_session.h"

#include "host/run/port_manager.h"
#include "host/run/result_files.h"
#include "host/run/run_log.h"

#include "host/files/json_file.h"
#include "host/files/writer_documents.h"
#include "host/model/at_command.h"
#include "host/model/result_message.h"
#include "host/model/row_check.h"
#include "host/platform/platform.h"
#include "host/script/cli_parse.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <map>
#include <thread>

namespace fs = std::filesystem;

namespace kelvra::run {
namespace {

constexpr const char *kEmptyListText = "AT命令列表为空，没有AT命令需要执行";
constexpr const char *kFolderQuestion = "文件夹创建失败，将无法导出获取信息命令文件，是否继续运行？";
constexpr const char *kRunStartText = "AT命令开始执行";
constexpr const char *kRunEndText = "所有指令执行完成";
constexpr const char *kAllClosedText = "全部端口断开连接！！！";
constexpr const char *kLostSuffix = "已断开";
constexpr const char *kScanDoneText = "扫描完成";
constexpr const char *kScanNoneText = "未扫描到Kelvra，请检查Kelvra是否开启AT命令功能";
constexpr const char *kStepFailedFormat = "%s 执行第%d条命令：%s 出错，错误信息：%s";
constexpr const char *kStepDoneFormat = "%s 第%d条AT命令执行成功！";
constexpr const char *kLoadProgressFormat = "加载离线项目中...... %d%%";
constexpr const char *kScriptStopFormat = "第%d行命令出错，停止命令脚本文件解析，错误信息：%s";

std::string message_of(ATResult code) { return std::string(ATCmdErrorMessage(code)); }

// A text field of a record: its bytes up to the first zero, never past the field.
template <std::size_t N>
std::string field_text(const char (&field)[N]) {
    std::size_t n = 0;
    while (n < N && field[n] != '\0') ++n;
    return std::string(field, n);
}

// Now in UTC as 2026-12-10T13:55:01.123Z.
std::string utc_now() {
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{now - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

std::tm local_now() {
    const std::time_t now = std::time(nullptr);
    return platform::LocalTime(now);
}

}  // namespace

// Everything behind the session's door. It is the port manager's observer, and turns what the
// port manager reports into events.
class RunSession::Impl final : public ISerialPortApp {
public:
    Impl(IRunView &view, SessionOptions options);
    ~Impl() override;

    void Emit(const RunEvent &event) {
        for (IRunListener *listener : listeners_) listener->OnEvent(event);
    }

    std::vector<std::string> Scan(bool any_port);
    void CloseAll();
    bool StartRun(const std::vector<S_CmdParam> &commands);
    int LoadScript(const std::string &path, std::vector<S_CmdParam> &commands, bool quiet);
    void RequestStop();
    bool WaitIdle(unsigned timeout_ms);
    int writer_count() const;
    std::vector<PortRecord> ports() const;
    std::vector<std::string> result_folders() const;
    std::string run_log_path() const;
    bool CheckRows(const std::vector<S_CmdParam> &commands);
    void PrintByteList(const std::uint8_t *bytes, std::size_t n, const std::string &port, const char *label);
    void PrintHexDump(const std::uint8_t *bytes, std::uint32_t address, std::size_t n);

    // ---- ISerialPortApp ----
    void OnScanProgress(const std::atomic<unsigned> *count, const std::atomic<unsigned> *current,
                        const std::atomic<bool> *finished) override;
    void OnAllPortsClosed() override;
    void OnPortRemoved(std::string &port) override;
    void OnDataReceived(std::string &port, const char *bytes, int *count) override;
    void OnStepDone(std::string &port, unsigned *step, S_CmdParam *command, ATResult *result) override;
    void OnPortDone(std::string &port, ATResult *result) override;
    void OnLoadProgress(const std::uint32_t *total_sent) override;
    void OnStepStarted(std::string &port, unsigned step, const S_CmdParam &command) override;
    void OnTransfer(std::string &port, std::uint32_t done, std::uint32_t size, bool verifying) override;
    void OnWriterInfo(std::string &port, kvat_writer_info *info) override;
    void OnWriterConfig(std::string &port, kvat_writer_config *config) override;
    void OnChipId(std::string &port, kvat_chip_id *id) override;
    void OnMemoryData(std::string &port, kvat_memory_block *block) override;
    void OnOptionBytes(std::string &port, kvat_option_bytes *bytes) override;
    void OnBroadcastResponse(std::string &port, kvat_broadcast_record *record) override;
    void OnProjectInfo(std::string &port, kvat_project_info_record *info) override;
    void OnOfflineStatus(std::string &port, OfflineStatus *status) override;
    void OnScriptError(std::string &message, int *row) override;

    int CellOf(const std::string &port) const;  // -1 when the port has no cell
    std::string FolderOf(const std::string &port) const;  // "" when it has none
    void ResetPortCells();
    void RunFinished(bool stopped);  // with run_mutex_ held
    void ReturnToIdle();
    // A result or run-log write that failed: an error line (once per path and reason) and a
    // mark in the run's summary.
    void SaveFailed(const std::string &path, const std::string &reason);

    // Message-log lines become events.
    struct LogSink final : ILogSink {
        explicit LogSink(Impl &impl) : impl_(impl) {}
        void AppendLine(const LogEntry &entry) override { impl_.Emit(LogLine{entry, false}); }
        void ReplaceLiveLine(const LogEntry &entry) override { impl_.Emit(LogLine{entry, true}); }
        Impl &impl_;
    };

    IRunView &view_;
    std::vector<IRunListener *> listeners_;
    SessionOptions options_;
    std::string result_root_;
    std::string log_root_;
    LogSink sink_;
    MessageLog log_;

    std::atomic<bool> print_info_{false};
    std::atomic<bool> cover_file_{true};
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_requested_{false};  // during the current run

    // Ports, cells and counters: read by worker threads, changed by the scan and lost ports.
    mutable std::mutex state_mutex_;
    std::vector<PortRecord> ports_;
    int writer_count_ = 0;
    int lost_during_run_ = 0;

    // Serialises step, port-end, load-progress and script-error reports and printed blocks.
    mutable std::mutex run_mutex_;
    std::string run_log_path_;
    unsigned finished_ports_ = 0;
    std::size_t expected_ports_ = 0;  // run threads started; the run ends when all reported
    unsigned total_steps_ = 0;
    RunSummary summary_;
    std::vector<std::string> run_ports_;   // the ports the run started on
    std::vector<std::string> done_ports_;  // ports that reported their end this run

    // Save failures already reported in this run.
    std::mutex save_mutex_;
    std::vector<std::string> save_failures_;

    RunLog run_log_;
    ResultFiles files_;

    // What each port's run did to its unit (started at the run's start).
    std::mutex units_mutex_;
    std::map<std::string, UnitFacts> units_;
    std::map<std::string, UnitSerial> unit_serials_;  // set before a run, read by StartRun
    std::chrono::steady_clock::time_point run_started_{};

    // Last: its threads call back into the members above.
    SerialPortApp app_;
};

std::string RunTimeStamp(const std::tm &local) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d_%02d-%02d-%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return buf;
}

RunSession::Impl::Impl(IRunView &view, SessionOptions options)
    : view_(view),
      options_(std::move(options)),
      sink_(*this),
      log_(&sink_),
      run_log_(options_.run_log, options_.run_log_interval_ms,
               [this](const std::string &path, const std::string &reason) { SaveFailed(path, reason); }),
      files_(log_, run_mutex_, [this](const std::string &path, const std::string &reason) { SaveFailed(path, reason); },
             [this](const std::string &line) { Emit(Diagnostic{line, {}}); }),
      app_(this) {
    listeners_.push_back(&view_);
    app_.set_verify(options_.verify);
    std::string dir = options_.program_dir;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    result_root_ = dir + "InfoFile/";
    log_root_ = dir + "log/";
    app_.SetConsole([this](const std::string &line) { Emit(Diagnostic{line, {}}); });
    app_.SetImageSummary([this](const std::string &image, const std::string &line) { Emit(Diagnostic{line, image}); });
}

RunSession::Impl::~Impl() {
    app_.RequestStop();
    app_.WaitForRuns(std::numeric_limits<unsigned>::max());
}

int RunSession::Impl::writer_count() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return writer_count_;
}

std::vector<PortRecord> RunSession::Impl::ports() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return ports_;
}

std::vector<std::string> RunSession::Impl::result_folders() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    std::vector<std::string> folders;
    for (const PortRecord &port : ports_) {
        if (!port.result_folder.empty()) folders.push_back(port.result_folder);
    }
    return folders;
}

std::string RunSession::Impl::run_log_path() const {
    std::lock_guard<std::mutex> lock(run_mutex_);
    return run_log_path_;
}

int RunSession::Impl::CellOf(const std::string &port) const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    for (std::size_t k = 0; k < ports_.size(); ++k) {
        if (ports_[k].name == port) return static_cast<int>(k);
    }
    return -1;
}

std::string RunSession::Impl::FolderOf(const std::string &port) const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    for (const PortRecord &record : ports_) {
        if (record.name == port) return record.result_folder;
    }
    return {};
}

// ------------------------------------------ scan ---------------------------------------------

std::vector<std::string> RunSession::Impl::Scan(bool any_port) {
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        ports_.clear();  // a port lost during the scan has no cell to mark or count
    }
    ScanOptions scan = options_.scan;
    scan.any_port = any_port;
    std::vector<std::string> warnings;
    const std::vector<ScannedWriter> answered = app_.ScanWriters(scan, app_.at_baud_rate(), &warnings);
    std::vector<std::string> names;
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        // A writer unplugged after it answered the probe is no longer open: it gets no cell,
        // and the run must not wait for it.
        const std::vector<OpenPort> open = app_.open_ports();
        for (const ScannedWriter &writer : answered) {
            if (SerialPortApp::FindPortIndex(writer.name, open) < 0) continue;
            PortRecord record;
            record.slot = writer.slot;
            record.name = writer.name;
            record.device = writer.device;
            record.label = writer.name;
            record.writer = {field_text(writer.info.type), field_text(writer.info.serial_number),
                             field_text(writer.info.hardware_version), field_text(writer.info.bootloader_version),
                             field_text(writer.info.interface_version)};
            ports_.push_back(std::move(record));
            names.push_back(writer.name);
        }
        writer_count_ = static_cast<int>(names.size());
        lost_during_run_ = 0;
        for (const std::string &warning : warnings) log_.LogLevelLine(LogWarning, warning);
        if (!names.empty()) {
            log_.AppendLine(kScanDoneText, kColourSuccess);
        } else {
            log_.AppendLine(kScanNoneText, kColourError);
        }
        // Under the lock, so that a loss reported from now on marks a cell of this panel.
        Emit(ScanFinished{ports_});
    }
    // The scan is over when its wait window has closed too.
    app_.JoinScanProgress();
    return names;
}

void RunSession::Impl::OnScanProgress(const std::atomic<unsigned> *count, const std::atomic<unsigned> *current,
                                const std::atomic<bool> *finished) {
    Emit(ScanProgress{ScanProgress::Phase::Open, 0});
    int last = -1;
    while (!finished->load()) {
        const unsigned n = count->load();
        const int percent = n < 2 ? 0 : static_cast<int>(static_cast<double>(current->load()) / (n - 1) * 99);
        if (percent != last) Emit(ScanProgress{ScanProgress::Phase::Progress, percent});
        last = percent;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Emit(ScanProgress{ScanProgress::Phase::Progress, 100});
    if (options_.scan_linger_ms != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options_.scan_linger_ms));
    }
    Emit(ScanProgress{ScanProgress::Phase::Close, 100});
}

void RunSession::Impl::CloseAll() { app_.CloseAll(true); }

void RunSession::Impl::OnAllPortsClosed() {
    log_.AppendLine(kAllClosedText, kColourError);
    int cells;
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        cells = static_cast<int>(ports_.size());
        writer_count_ = 0;
        // A loss still on its way is one of the ports just closed: it must not count again.
        for (PortRecord &record : ports_) record.closed = true;
    }
    Emit(AllPortsClosed{cells});
}

void RunSession::Impl::OnPortRemoved(std::string &port) {
    log_.AppendLine(port + kLostSuffix, kColourError);
    int cell = -1;
    bool during_run = false;
    int writers_left = 0;
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        for (std::size_t k = 0; k < ports_.size(); ++k) {
            PortRecord &record = ports_[k];
            if (record.name == port && !record.lost && !record.closed) {
                cell = static_cast<int>(k);
                record.lost = true;
                record.label = port + kLostSuffix;
                break;
            }
        }
        // Only a writer with a cell counts: one lost during a scan or after closing all has none.
        if (cell >= 0 && running_.load()) {
            ++lost_during_run_;
            during_run = true;
        } else if (cell >= 0) {
            --writer_count_;
        }
        writers_left = writer_count_ - lost_during_run_;
    }
    Emit(PortLost{port, cell, during_run, writers_left});
}

void RunSession::Impl::OnDataReceived(std::string &, const char *, int *) {}

// ------------------------------------------ run ----------------------------------------------

bool RunSession::Impl::CheckRows(const std::vector<S_CmdParam> &commands) {
    const auto failure = kelvra::CheckRows(commands);
    if (!failure) return true;
    if (failure->kind == RowCheckKind::LogError) {
        log_.LogLevelLine(LogError, failure->message);
    } else {
        view_.Ask(Question{failure->message, "错误", MessageBoxIcon::Error, MessageBoxButtons::Ok, failure->row - 1});
    }
    return false;
}

void RunSession::Impl::ResetPortCells() {
    std::vector<int> ready;
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        for (std::size_t k = 0; k < ports_.size(); ++k) {
            if (!ports_[k].lost && !ports_[k].closed) ready.push_back(static_cast<int>(k));
        }
    }
    Emit(RunStarting{ready});
}

void RunSession::Impl::ReturnToIdle() { Emit(Idle{writer_count()}); }

bool RunSession::Impl::StartRun(const std::vector<S_CmdParam> &commands) {
    if (running_.load()) return false;
    if (commands.empty()) {
        log_.AppendLine(kEmptyListText, kColourError);
        return false;
    }
    if (!CheckRows(commands)) return false;
    ResetPortCells();

    std::error_code error;
    if (!fs::is_directory(result_root_, error)) {
        fs::create_directories(result_root_, error);
        if (!fs::is_directory(result_root_, error) &&
            view_.Ask(Question{kFolderQuestion, "提示", MessageBoxIcon::Question, MessageBoxButtons::YesNo}) !=
                MessageBoxAnswer::Yes) {
            ReturnToIdle();
            return false;
        }
    }

    const std::vector<PortRecord> ports = this->ports();
    const bool cover = cover_file_.load();
    // A second run within the same second gets a suffix, so it never writes into the first
    // one's log file or (without cover-file) its result folders.
    const std::string stamp = RunTimeStamp(local_now());
    std::string run_id = stamp;
    for (int n = 2;; ++n) {
        bool taken = fs::exists(log_root_ + run_id + ".json", error);
        for (const PortRecord &port : ports) {
            if (!cover) taken = taken || fs::exists(result_root_ + port.name + "-" + run_id, error);
        }
        if (!taken) break;
        run_id = stamp + "_" + std::to_string(n);
    }

    {
        std::lock_guard<std::mutex> lock(save_mutex_);
        save_failures_.clear();
    }
    std::vector<std::string> folders;
    for (const PortRecord &port : ports) {
        const std::string folder = cover ? result_root_ + "A-" + port.name : result_root_ + port.name + "-" + run_id;
        files_.MakeFolder(folder, cover);
        folders.push_back(folder);
    }
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        for (std::size_t k = 0; k < ports_.size() && k < folders.size(); ++k) ports_[k].result_folder = folders[k];
    }
    log_.AppendLine(kRunStartText, kColourInfo);
    if (options_.run_log) {
        std::error_code made;
        fs::create_directories(log_root_, made);
        if (!fs::is_directory(log_root_, error)) SaveFailed(log_root_, made ? made.message() : "not a folder");
    }
    {
        std::lock_guard<std::mutex> lock(run_mutex_);
        run_log_path_ = log_root_ + run_id + ".json";
        run_log_.Begin(run_log_path_);
        finished_ports_ = 0;
        // Until the threads are counted, no port end can close the run.
        expected_ports_ = std::numeric_limits<std::size_t>::max();
        total_steps_ = static_cast<unsigned>(commands.size());
        summary_ = RunSummary{};
        summary_.ok = true;
        run_ports_.clear();
        for (const PortRecord &port : ports) run_ports_.push_back(port.name);
        done_ports_.clear();
    }
    {
        std::lock_guard<std::mutex> lock(units_mutex_);
        units_.clear();
        const std::string started = utc_now();
        for (const PortRecord &port : ports) {
            UnitFacts &unit = units_[port.name];
            unit.writer_serial = port.writer.serial_number;
            unit.started = started;
            const auto serial = unit_serials_.find(port.name);
            if (serial != unit_serials_.end()) {
                unit.unit_serial = serial->second.number;
                run_log_.UnitSerial(port.name, serial->second.number);
                app_.set_unit_serial(port.slot, serial->second);
            } else {
                app_.set_unit_serial(port.slot, std::nullopt);
            }
        }
        run_started_ = std::chrono::steady_clock::now();
    }
    stop_requested_.store(false);
    Emit(RunStarted{this->ports(), static_cast<unsigned>(commands.size()), options_.run_log ? run_log_path() : std::string()});
    running_.store(true);
    const std::size_t started = app_.RunAll(&commands);
    {
        std::lock_guard<std::mutex> lock(run_mutex_);
        // Ends are counted per run thread: a writer lost before its thread started has none.
        expected_ports_ = started;
        if (running_.load() && finished_ports_ >= expected_ports_) {
            finished_ports_ = 0;
            RunFinished(false);
        }
    }
    return true;
}

void RunSession::Impl::SaveFailed(const std::string &path, const std::string &reason) {
    const std::string text = path + ": " + reason;
    {
        std::lock_guard<std::mutex> lock(save_mutex_);
        if (std::find(save_failures_.begin(), save_failures_.end(), text) != save_failures_.end()) return;
        save_failures_.push_back(text);
    }
    log_.LogLevelLine(LogError, "cannot save " + text);
}

void RunSession::Impl::OnStepDone(std::string &port, unsigned *step, S_CmdParam *command, ATResult *result) {
    std::lock_guard<std::mutex> lock(run_mutex_);
    const unsigned s = *step;
    StepDone event;
    event.port = port;
    event.cell = CellOf(port);
    event.step = s;
    event.total = total_steps_;
    event.command = *command;
    event.command_line = app_.parser().command_line(*command);
    event.result = *result;
    event.message = message_of(*result);
    const StepFacts facts = app_.RunStepFacts();
    event.wrote = facts.wrote;
    event.verified = facts.verified;
    event.verified_bytes = facts.verified_bytes;
    {
        std::lock_guard<std::mutex> units(units_mutex_);
        UnitFacts &unit = units_[port];
        event.writer_serial = unit.writer_serial;
        if (facts.wrote) {
            unit.bytes_written += facts.bytes_written;
            unit.image_sha256.push_back(facts.image_sha256);
            // Verified only when every write was.
            unit.verified = facts.verified && (unit.image_sha256.size() == 1 || unit.verified);
        }
    }
    if (*result != 0) {
        event.detail = app_.StepDetail();
        std::string shown = event.message.empty() ? "code " + std::to_string(*result) : event.message;
        if (!event.detail.empty()) shown += " (" + event.detail + ")";
        log_.LogFormat(LogError, kStepFailedFormat, port.c_str(), static_cast<int>(s),
                       ATCmdName(command->command).c_str(), shown.c_str());
        run_log_.StepFailed(port, s, event.command_line, event.message);
    } else {
        log_.LogFormat(LogSuccess, kStepDoneFormat, port.c_str(), static_cast<int>(s));
        run_log_.StepSucceeded(port, s, event.command_line);
    }
    Emit(event);
}

void RunSession::Impl::OnPortDone(std::string &port, ATResult *result) {
    std::lock_guard<std::mutex> lock(run_mutex_);
    run_log_.PortEnded(port, *result == 0, total_steps_);
    summary_.port_results.emplace_back(port, *result);
    done_ports_.push_back(port);
    if (*result != 0) summary_.ok = false;
    PortEnded end{port, CellOf(port), *result, {}};
    {
        std::lock_guard<std::mutex> units(units_mutex_);
        UnitFacts &unit = units_[port];
        unit.ended = utc_now();
        unit.duration_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - run_started_).count();
        end.unit = unit;
    }
    Emit(end);
    ++finished_ports_;
    if (finished_ports_ >= expected_ports_) {
        finished_ports_ = 0;
        RunFinished(false);
    }
}

void RunSession::Impl::RunFinished(bool stopped) {
    stopped = stopped || stop_requested_.load();
    if (stopped) {
        // A port that did not finish its list is neither passed nor failed.
        for (const std::string &port : run_ports_) {
            if (std::find(done_ports_.begin(), done_ports_.end(), port) != done_ports_.end()) continue;
            run_log_.PortStopped(port);
            summary_.stopped_ports.push_back(port);
        }
    }
    // The last write, before anyone is told the run ended.
    run_log_.Finish();
    running_.store(false);
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        writer_count_ -= lost_during_run_;
        lost_during_run_ = 0;
    }
    if (stopped) {
        log_.LogLevelLine(LogWarning, "Run stopped: ports ended after their current command");
    } else {
        log_.LogLevelLine(LogInfo, kRunEndText);
    }
    log_.LogLevelLine(LogInfo, "");
    summary_.stopped = stopped;
    if (stopped) summary_.ok = false;
    summary_.run_log_path = options_.run_log ? run_log_path_ : std::string();
    {
        std::lock_guard<std::mutex> lock(save_mutex_);
        summary_.save_failures = save_failures_;
    }
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        for (const PortRecord &port : ports_) {
            if (!port.result_folder.empty()) summary_.result_folders.emplace_back(port.name, port.result_folder);
        }
    }
    Emit(run::RunFinished{summary_, writer_count()});
}

void RunSession::Impl::RequestStop() {
    if (running_.load()) stop_requested_.store(true);
    app_.RequestStop();
}

bool RunSession::Impl::WaitIdle(unsigned timeout_ms) {
    if (!app_.WaitForRuns(timeout_ms)) return false;
    // Ports that stopped early never report their end: close the run here.
    std::lock_guard<std::mutex> lock(run_mutex_);
    if (running_.load()) RunFinished(true);
    return true;
}

void RunSession::Impl::OnStepStarted(std::string &port, unsigned step, const S_CmdParam &command) {
    std::lock_guard<std::mutex> lock(run_mutex_);
    const CommandInfo *info = FindCommand(command.command);
    Emit(StepStarted{port, CellOf(port), step, total_steps_, info != nullptr ? std::string(info->word) : std::string()});
}

void RunSession::Impl::OnTransfer(std::string &port, std::uint32_t done, std::uint32_t size, bool verifying) {
    std::lock_guard<std::mutex> lock(run_mutex_);
    Emit(StepProgress{port, CellOf(port), done, size, verifying});
}

void RunSession::Impl::OnLoadProgress(const std::uint32_t *total_sent) {
    std::lock_guard<std::mutex> lock(run_mutex_);
    const std::uint32_t total = total_sent[0];
    const std::uint32_t sent = total_sent[1];
    const int percent = total == 0 ? 100 : static_cast<int>(static_cast<double>(sent) / total * 100);
    if (const auto text = FormatLogText(kLoadProgressFormat, percent)) log_.ReplaceLiveLine(*text, kColourInfo);
    Emit(LoadProgress{app_.RunPortName(), total, sent});
}

// ----------------------------------------- scripts -------------------------------------------

void RunSession::Impl::OnScriptError(std::string &message, int *row) {
    std::lock_guard<std::mutex> lock(run_mutex_);
    log_.LogFormat(LogError, kScriptStopFormat, *row, message.c_str());
}

int RunSession::Impl::LoadScript(const std::string &path, std::vector<S_CmdParam> &commands, bool quiet) {
    std::vector<std::string> messages;
    int code;
    try {
        code = app_.LoadScript(path, commands, messages);
    } catch (const std::exception &e) {
        if (!quiet) log_.LogLevelLine(LogError, e.what());
        return -1;
    }
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (!messages[i].empty()) log_.LogFormat(LogWarning, "Row %d: %s", static_cast<int>(i + 1), messages[i].c_str());
    }
    return code;
}

void RunSession::Impl::PrintByteList(const std::uint8_t *bytes, std::size_t n, const std::string &port, const char *label) {
    files_.PrintByteList(bytes, n, port, label);
}

void RunSession::Impl::PrintHexDump(const std::uint8_t *bytes, std::uint32_t address, std::size_t n) {
    files_.PrintHexDump(bytes, address, n);
}

void RunSession::Impl::OnWriterInfo(std::string &port, kvat_writer_info *info) {
    files_.WriterInfo(FolderOf(port), port, info, print_info_.load());
}

void RunSession::Impl::OnWriterConfig(std::string &port, kvat_writer_config *config) {
    files_.WriterConfig(FolderOf(port), port, config, print_info_.load());
}

void RunSession::Impl::OnChipId(std::string &port, kvat_chip_id *id) {
    {
        static constexpr char kDigits[] = "0123456789abcdef";
        std::string hex;
        for (std::size_t i = 0; i < std::min<std::size_t>(id->count, sizeof id->id); ++i) {
            hex += kDigits[id->id[i] >> 4];
            hex += kDigits[id->id[i] & 15];
        }
        std::lock_guard<std::mutex> lock(units_mutex_);
        units_[port].chip_id = hex;
    }
    files_.ChipId(FolderOf(port), port, id, print_info_.load());
}

void RunSession::Impl::OnMemoryData(std::string &port, kvat_memory_block *block) {
    {
        const std::uint32_t length = at_get_le32(reinterpret_cast<const std::uint8_t *>(block) + 4);
        std::lock_guard<std::mutex> lock(units_mutex_);
        units_[port].bytes_read += std::min<std::uint32_t>(length, KVAT_MAX_CHUNK);
    }
    files_.MemoryBlock(FolderOf(port), port, block, print_info_.load());
}

void RunSession::Impl::OnOptionBytes(std::string &port, kvat_option_bytes *bytes) {
    files_.OptionBytes(FolderOf(port), port, bytes, print_info_.load());
}

void RunSession::Impl::OnBroadcastResponse(std::string &port, kvat_broadcast_record *record) {
    files_.BroadcastRecord(FolderOf(port), record);
}

void RunSession::Impl::OnProjectInfo(std::string &port, kvat_project_info_record *info) {
    files_.ProjectInfo(FolderOf(port), port, info, print_info_.load());
}

void RunSession::Impl::OnOfflineStatus(std::string &, OfflineStatus *status) {
    if (status->state == 0) log_.LogLevelLine(LogSuccess, "offline programming done ...");
}

}  // namespace kelvra::run

// ------------------------------------------ the door -----------------------------------------

namespace kelvra::run {

RunSession::RunSession(IRunView &view, SessionOptions options)
    : impl_(std::make_unique<Impl>(view, std::move(options))) {}
RunSession::~RunSession() = default;

void RunSession::AddListener(IRunListener &listener) { impl_->listeners_.push_back(&listener); }
std::vector<std::string> RunSession::Scan(bool any_port) { return impl_->Scan(any_port); }
void RunSession::CloseAll() { impl_->CloseAll(); }
bool RunSession::StartRun(const std::vector<S_CmdParam> &commands) { return impl_->StartRun(commands); }
int RunSession::LoadScript(const std::string &path, std::vector<S_CmdParam> &commands, bool quiet) {
    return impl_->LoadScript(path, commands, quiet);
}
bool RunSession::SaveScript(const std::string &path, const std::vector<S_CmdParam> &commands) {
    return impl_->app_.parser().save_script(path, commands);
}
std::string RunSession::CommandLine(const S_CmdParam &command) const { return impl_->app_.parser().command_line(command); }
void RunSession::RequestStop() { impl_->RequestStop(); }
void RunSession::set_unit_serials(std::map<std::string, UnitSerial> serials) {
    std::lock_guard<std::mutex> lock(impl_->units_mutex_);
    impl_->unit_serials_ = std::move(serials);
}
bool RunSession::WaitIdle(unsigned timeout_ms) { return impl_->WaitIdle(timeout_ms); }
bool RunSession::running() const { return impl_->running_.load(); }
void RunSession::set_print_info(bool on) { impl_->print_info_.store(on); }
void RunSession::set_cover_file(bool on) { impl_->cover_file_.store(on); }
bool RunSession::print_info() const { return impl_->print_info_.load(); }
bool RunSession::cover_file() const { return impl_->cover_file_.load(); }
int RunSession::at_baud_rate() const { return impl_->app_.at_baud_rate(); }
void RunSession::set_at_baud_rate(int baud) { impl_->app_.set_at_baud_rate(baud); }
int RunSession::writer_count() const { return impl_->writer_count(); }
std::vector<PortRecord> RunSession::ports() const { return impl_->ports(); }
std::vector<std::string> RunSession::result_folders() const { return impl_->result_folders(); }
std::string RunSession::run_log_path() const { return impl_->run_log_path(); }
std::string RunSession::result_root() const { return impl_->result_root_; }
std::string RunSession::log_root() const { return impl_->log_root_; }
MessageLog &RunSession::log() { return impl_->log_; }
bool RunSession::CheckRows(const std::vector<S_CmdParam> &commands) { return impl_->CheckRows(commands); }
SerialPortApp &RunSession::app() { return impl_->app_; }
void RunSession::PrintByteList(const std::uint8_t *bytes, std::size_t n, const std::string &port, const char *label) {
    impl_->PrintByteList(bytes, n, port, label);
}
void RunSession::PrintHexDump(const std::uint8_t *bytes, std::uint32_t address, std::size_t n) {
    impl_->PrintHexDump(bytes, address, n);
}
void RunSession::OnChipId(std::string &port, kvat_chip_id *id) { impl_->OnChipId(port, id); }
void RunSession::OnMemoryData(std::string &port, kvat_memory_block *block) { impl_->OnMemoryData(port, block); }
void RunSession::OnOptionBytes(std::string &port, kvat_option_bytes *bytes) { impl_->OnOptionBytes(port, bytes); }
void RunSession::OnBroadcastResponse(std::string &port, kvat_broadcast_record *record) {
    impl_->OnBroadcastResponse(port, record);
}
void RunSession::OnWriterInfo(std::string &port, kvat_writer_info *info) { impl_->OnWriterInfo(port, info); }
void RunSession::OnWriterConfig(std::string &port, kvat_writer_config *config) { impl_->OnWriterConfig(port, config); }
void RunSession::OnProjectInfo(std::string &port, kvat_project_info_record *info) { impl_->OnProjectInfo(port, info); }
void RunSession::OnPortRemoved(std::string &port) { impl_->OnPortRemoved(port); }

}  // namespace kelvra::run
