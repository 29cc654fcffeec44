#include "host/run/run_session.h"

#include "host/files/json_file.h"
#include "host/files/writer_documents.h"
#include "host/model/at_command.h"
#include "host/model/result_message.h"
#include "host/model/row_check.h"
#include "host/script/cli_parse.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
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

std::tm local_now() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

}  // namespace

void IRunView::ConsoleLine(const std::string &line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string RunTimeStamp(const std::tm &local) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d_%02d-%02d-%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return buf;
}

RunSession::RunSession(IRunView &view, SessionOptions options)
    : view_(view),
      options_(std::move(options)),
      log_(&view),
      run_log_(options_.run_log, options_.run_log_interval_ms,
               [this](const std::string &path, const std::string &reason) { SaveFailed(path, reason); }),
      files_(log_, run_mutex_, [this](const std::string &path, const std::string &reason) { SaveFailed(path, reason); },
             [this](const std::string &line) { view_.ConsoleLine(line); }),
      app_(this) {
    std::string dir = options_.program_dir;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    result_root_ = dir + "InfoFile/";
    log_root_ = dir + "log/";
    app_.SetConsole([this](const std::string &line) { view_.ConsoleLine(line); });
}

RunSession::~RunSession() {
    app_.RequestStop();
    app_.WaitForRuns(std::numeric_limits<unsigned>::max());
    std::unique_lock<std::mutex> lock(scan_mutex_);
    scan_done_.wait(lock, [this] { return scan_threads_ == 0; });
}

int RunSession::writer_count() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return writer_count_;
}

std::vector<PortRecord> RunSession::ports() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return ports_;
}

std::vector<std::string> RunSession::result_folders() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    std::vector<std::string> folders;
    for (const PortRecord &port : ports_) {
        if (!port.result_folder.empty()) folders.push_back(port.result_folder);
    }
    return folders;
}

std::string RunSession::run_log_path() const {
    std::lock_guard<std::mutex> lock(run_mutex_);
    return run_log_path_;
}

int RunSession::CellOf(const std::string &port) const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    for (std::size_t k = 0; k < ports_.size(); ++k) {
        if (ports_[k].name == port) return static_cast<int>(k);
    }
    return -1;
}

std::string RunSession::FolderOf(const std::string &port) const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    for (const PortRecord &record : ports_) {
        if (record.name == port) return record.result_folder;
    }
    return {};
}

// ------------------------------------------ scan ---------------------------------------------

std::vector<std::string> RunSession::Scan(bool any_port) {
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        ports_.clear();  // a port lost during the scan has no cell to mark or count
    }
    ScanOptions scan = options_.scan;
    scan.any_port = any_port;
    std::string warning;
    {
        std::lock_guard<std::mutex> lock(scan_mutex_);
        ++scan_threads_;  // the scan's progress display, which ends on its own thread
    }
    const std::vector<ScannedWriter> answered = app_.ScanWriters(scan, app_.at_baud_rate(), &warning);
    std::vector<std::string> names;
    std::vector<std::string> devices;
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
            devices.push_back(writer.device);
        }
        writer_count_ = static_cast<int>(names.size());
        lost_during_run_ = 0;
        // Under the lock, so that a loss reported from now on marks a cell of this panel.
        view_.BuildPortPanel(names);
    }
    if (!warning.empty()) log_.LogLevelLine(LogWarning, warning);
    if (!names.empty()) {
        log_.AppendLine(kScanDoneText, kColourSuccess);
        view_.SetRunEnabled(true);
    } else {
        log_.AppendLine(kScanNoneText, kColourError);
        view_.SetRunEnabled(false);
    }
    view_.OnScanResult(names, devices);
    // The scan is over when its wait window has closed too.
    std::unique_lock<std::mutex> lock(scan_mutex_);
    scan_done_.wait(lock, [this] { return scan_threads_ == 0; });
    return names;
}

void RunSession::OnScanProgress(const std::atomic<unsigned> *count, const std::atomic<unsigned> *current,
                                const std::atomic<bool> *finished) {
    view_.ScanWaitOpen();
    int last = -1;
    while (!finished->load()) {
        const unsigned n = count->load();
        const int percent = n < 2 ? 0 : static_cast<int>(static_cast<double>(current->load()) / (n - 1) * 99);
        if (percent != last) view_.ScanWaitProgress(percent);
        last = percent;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    view_.ScanWaitProgress(100);
    if (options_.scan_linger_ms != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options_.scan_linger_ms));
    }
    view_.ScanWaitClose();
    std::lock_guard<std::mutex> lock(scan_mutex_);
    if (scan_threads_ > 0) --scan_threads_;
    if (scan_threads_ == 0) scan_done_.notify_all();
}

void RunSession::CloseAll() { app_.CloseAll(true); }

void RunSession::OnAllPortsClosed() {
    log_.AppendLine(kAllClosedText, kColourError);
    int cells;
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        cells = static_cast<int>(ports_.size());
        writer_count_ = 0;
        // A loss still on its way is one of the ports just closed: it must not count again.
        for (PortRecord &record : ports_) record.closed = true;
    }
    for (int k = 0; k < cells; ++k) {
        view_.SetCellPicture(k, StatusPicture::Disconnect);
        view_.SetCellBarColour(k, kBarRed);
    }
    view_.SetRunEnabled(false);
    view_.SetControlsEnabled(true);
}

void RunSession::OnPortRemoved(std::string &port) {
    log_.AppendLine(port + kLostSuffix, kColourError);
    int cell = -1;
    bool idle_and_none_left = false;
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
        } else if (cell >= 0) {
            --writer_count_;
            idle_and_none_left = writer_count_ == 0;
        }
    }
    if (cell >= 0) {
        view_.SetCellPicture(cell, StatusPicture::Disconnect);
        view_.SetCellLabel(cell, port + kLostSuffix);
        view_.SetCellBarColour(cell, kBarRed);
    }
    if (idle_and_none_left) {
        view_.SetRunEnabled(false);
        view_.SetControlsEnabled(true);
    }
}

void RunSession::OnDataReceived(std::string &, const char *, int *) {}

// ------------------------------------------ run ----------------------------------------------

bool RunSession::CheckRows(const std::vector<S_CmdParam> &commands) {
    const auto failure = kelvra::CheckRows(commands);
    if (!failure) return true;
    if (failure->kind == RowCheckKind::LogError) {
        log_.LogLevelLine(LogError, failure->message);
    } else {
        view_.SelectRow(failure->row - 1);
        view_.ShowMessageBox(failure->message, "错误", MessageBoxIcon::Error, MessageBoxButtons::Ok);
    }
    return false;
}

void RunSession::ResetPortCells() {
    std::vector<int> ready;
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        for (std::size_t k = 0; k < ports_.size(); ++k) {
            if (!ports_[k].lost && !ports_[k].closed) ready.push_back(static_cast<int>(k));
        }
    }
    for (const int k : ready) {
        view_.SetCellBarColour(k, kBarReady);
        view_.SetCellPosition(k, 0);
        view_.SetCellPicture(k, StatusPicture::Connected);
    }
}

void RunSession::ReturnToIdle() {
    view_.SetControlsEnabled(true);
    view_.SetRunEnabled(writer_count() > 0);
}

bool RunSession::StartRun(const std::vector<S_CmdParam> &commands) {
    if (running_.load()) return false;
    if (commands.empty()) {
        log_.AppendLine(kEmptyListText, kColourError);
        return false;
    }
    if (!CheckRows(commands)) return false;
    ResetPortCells();
    view_.SetControlsEnabled(false);
    view_.SetRunEnabled(false);

    std::error_code error;
    if (!fs::is_directory(result_root_, error)) {
        fs::create_directories(result_root_, error);
        if (!fs::is_directory(result_root_, error) &&
            view_.ShowMessageBox(kFolderQuestion, "提示", MessageBoxIcon::Question, MessageBoxButtons::YesNo) !=
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
    stop_requested_.store(false);
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

void RunSession::SaveFailed(const std::string &path, const std::string &reason) {
    const std::string text = path + ": " + reason;
    {
        std::lock_guard<std::mutex> lock(save_mutex_);
        if (std::find(save_failures_.begin(), save_failures_.end(), text) != save_failures_.end()) return;
        save_failures_.push_back(text);
    }
    log_.LogLevelLine(LogError, "cannot save " + text);
}

void RunSession::OnStepDone(std::string &port, unsigned *step, S_CmdParam *command, ATResult *result) {
    std::lock_guard<std::mutex> lock(run_mutex_);
    const unsigned s = *step;
    const unsigned n = total_steps_ == 0 ? 1 : total_steps_;
    const int progress = static_cast<int>(s * 100 / n);
    const int cell = CellOf(port);
    StepEvent event;
    event.port = port;
    event.step = s;
    event.total = total_steps_;
    event.command = *command;
    event.command_line = app_.parser().command_line(*command);
    event.result = *result;
    event.message = message_of(*result);
    if (*result != 0) {
        event.detail = app_.StepDetail();
        std::string shown = event.message.empty() ? "code " + std::to_string(*result) : event.message;
        if (!event.detail.empty()) shown += " (" + event.detail + ")";
        log_.LogFormat(LogError, kStepFailedFormat, port.c_str(), static_cast<int>(s),
                       ATCmdName(command->command).c_str(), shown.c_str());
        if (cell >= 0) {
            view_.SetCellBarColour(cell, kBarRed);
            view_.SetCellPicture(cell, StatusPicture::Failed);
        }
        run_log_.StepFailed(port, s, event.command_line, event.message);
    } else {
        log_.LogFormat(LogSuccess, kStepDoneFormat, port.c_str(), static_cast<int>(s));
        if (cell >= 0) view_.SetCellBarColour(cell, kBarGreen);
        run_log_.StepSucceeded(port, s, event.command_line);
    }
    if (cell >= 0) view_.SetCellPosition(cell, progress);
    view_.OnStep(event);
}

void RunSession::OnPortDone(std::string &port, ATResult *result) {
    std::lock_guard<std::mutex> lock(run_mutex_);
    if (*result == 0) {
        const int cell = CellOf(port);
        if (cell >= 0) view_.SetCellPicture(cell, StatusPicture::Succeed);
    }
    run_log_.PortEnded(port, *result == 0, total_steps_);
    summary_.port_results.emplace_back(port, *result);
    done_ports_.push_back(port);
    if (*result != 0) summary_.ok = false;
    view_.OnPortEnd(port, *result);
    ++finished_ports_;
    if (finished_ports_ >= expected_ports_) {
        finished_ports_ = 0;
        RunFinished(false);
    }
}

void RunSession::RunFinished(bool stopped) {
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
    ReturnToIdle();
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
    view_.OnRunEnd(summary_);
}

void RunSession::RequestStop() {
    if (running_.load()) stop_requested_.store(true);
    app_.RequestStop();
}

bool RunSession::WaitIdle(unsigned timeout_ms) {
    if (!app_.WaitForRuns(timeout_ms)) return false;
    // Ports that stopped early never report their end: close the run here.
    std::lock_guard<std::mutex> lock(run_mutex_);
    if (running_.load()) RunFinished(true);
    return true;
}

void RunSession::OnLoadProgress(const std::uint32_t *total_sent) {
    std::lock_guard<std::mutex> lock(run_mutex_);
    const std::uint32_t total = total_sent[0];
    const std::uint32_t sent = total_sent[1];
    const int percent = total == 0 ? 100 : static_cast<int>(static_cast<double>(sent) / total * 100);
    if (const auto text = FormatLogText(kLoadProgressFormat, percent)) log_.ReplaceLiveLine(*text, kColourInfo);
    view_.OnLoadProgress(total, sent);
}

// ----------------------------------------- scripts -------------------------------------------

void RunSession::OnScriptError(std::string &message, int *row) {
    std::lock_guard<std::mutex> lock(run_mutex_);
    log_.LogFormat(LogError, kScriptStopFormat, *row, message.c_str());
}

int RunSession::LoadScript(const std::string &path, std::vector<S_CmdParam> &commands, bool quiet) {
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

void RunSession::PrintByteList(const std::uint8_t *bytes, std::size_t n, const std::string &port, const char *label) {
    files_.PrintByteList(bytes, n, port, label);
}

void RunSession::PrintHexDump(const std::uint8_t *bytes, std::uint32_t address, std::size_t n) {
    files_.PrintHexDump(bytes, address, n);
}

void RunSession::OnWriterInfo(std::string &port, kvat_writer_info *info) {
    view_.OnWriterInfoRecord(port, *info);
    files_.WriterInfo(FolderOf(port), port, info, print_info_.load());
}

void RunSession::OnWriterConfig(std::string &port, kvat_writer_config *config) {
    files_.WriterConfig(FolderOf(port), port, config, print_info_.load());
}

void RunSession::OnChipId(std::string &port, kvat_chip_id *id) {
    files_.ChipId(FolderOf(port), port, id, print_info_.load());
}

void RunSession::OnMemoryData(std::string &port, kvat_memory_block *block) {
    files_.MemoryBlock(FolderOf(port), port, block, print_info_.load());
}

void RunSession::OnOptionBytes(std::string &port, kvat_option_bytes *bytes) {
    files_.OptionBytes(FolderOf(port), port, bytes, print_info_.load());
}

void RunSession::OnBroadcastResponse(std::string &port, kvat_broadcast_record *record) {
    files_.BroadcastRecord(FolderOf(port), record);
}

void RunSession::OnProjectInfo(std::string &port, kvat_project_info_record *info) {
    files_.ProjectInfo(FolderOf(port), port, info, print_info_.load());
}

void RunSession::OnOfflineStatus(std::string &, OfflineStatus *status) {
    if (status->state == 0) log_.LogLevelLine(LogSuccess, "offline programming done ...");
}

}  // namespace kelvra::run
