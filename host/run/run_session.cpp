#include "host/run/run_session.h"

#include "host/files/json_file.h"
#include "host/files/writer_documents.h"
#include "host/model/at_command.h"
#include "host/model/result_message.h"
#include "host/model/row_check.h"
#include "host/platform/platform.h"
#include "host/script/cli_parse.h"

#include <chrono>
#include <cstdio>
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

std::string field_text(const std::uint8_t *p, std::size_t size) {
    std::size_t n = 0;
    while (n < size && p[n] != 0) ++n;
    return std::string(reinterpret_cast<const char *>(p), n);
}

std::uint16_t le16(const std::uint8_t *p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

// Result files go into the port's folder; a port without one (no run folder could be made)
// gets none.
template <typename Fill>
void write_json_result(const std::string &folder, const char *name, Fill &&fill) {
    if (folder.empty()) return;
    files::json_file file(folder + name, files::json_file::mode::write);
    fill(file);
}

void append_file(const std::string &path, const void *data, std::size_t size) {
    if (std::FILE *f = std::fopen(path.c_str(), "ab")) {
        if (size != 0) std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
}

std::tm local_now() {
    const std::time_t now = std::time(nullptr);
    return platform::LocalTime(now);
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

std::vector<OpenPort> RunSession::found_ports() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return found_ports_;
}

std::vector<std::string> RunSession::result_folders() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return result_folders_;
}

std::string RunSession::run_log_path() const {
    std::lock_guard<std::mutex> lock(run_mutex_);
    return run_log_path_;
}

int RunSession::CellOf(const std::string &port) const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    for (std::size_t k = 0; k < found_ports_.size(); ++k) {
        if (found_ports_[k].name == port) return static_cast<int>(k);
    }
    return -1;
}

std::string RunSession::FolderOf(const std::string &port) const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    for (std::size_t k = 0; k < found_ports_.size() && k < result_folders_.size(); ++k) {
        if (found_ports_[k].name == port) return result_folders_[k];
    }
    return {};
}

// ------------------------------------------ scan ---------------------------------------------

std::vector<std::string> RunSession::Scan(bool any_port) {
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        found_ports_.clear();
        cell_labels_.clear();  // a port lost during the scan has no cell to mark or count
    }
    ScanOptions scan = options_.scan;
    scan.any_port = any_port;
    std::string warning;
    {
        std::lock_guard<std::mutex> lock(scan_mutex_);
        ++scan_threads_;  // the scan's progress display, which ends on its own thread
    }
    const std::vector<std::string> answered = app_.ScanAndOpen(scan, app_.at_baud_rate(), &warning);
    std::vector<std::string> names;
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        // A writer unplugged after it answered the probe is no longer open: it gets no cell,
        // and the run must not wait for it.
        const std::vector<OpenPort> open = app_.open_ports();
        for (const std::string &name : answered) {
            if (SerialPortApp::FindPortIndex(name, open) >= 0) names.push_back(name);
        }
        writer_count_ = static_cast<int>(names.size());
        lost_during_run_ = 0;
        cell_labels_ = names;
        for (std::size_t i = 0; i < names.size(); ++i) {
            found_ports_.push_back({names[i], static_cast<std::int32_t>(i)});
        }
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
    std::vector<std::string> devices;
    for (const std::string &name : names) devices.push_back(app_.DevicePath(name));
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
        cells = static_cast<int>(found_ports_.size());
        writer_count_ = 0;
        // A loss still on its way is one of the ports just closed: it must not count again.
        cell_labels_.clear();
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
        for (std::size_t k = 0; k < cell_labels_.size(); ++k) {
            if (cell_labels_[k] == port) {
                cell = static_cast<int>(k);
                cell_labels_[k] = port + kLostSuffix;
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
        for (std::size_t k = 0; k < cell_labels_.size(); ++k) {
            if (cell_labels_[k].find(kLostSuffix) == std::string::npos) ready.push_back(static_cast<int>(k));
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

void RunSession::ClearFolder(const std::string &path) {
    std::error_code error;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(*it);
    }
    for (const auto &entry : entries) {
        const std::string p = entry.path().string();
        std::error_code e;
        if (entry.is_directory(e) && !entry.is_symlink(e)) {
            ClearFolder(p);
            view_.ConsoleLine(p);
            view_.ConsoleLine(fs::remove(entry.path(), e) ? "delete empty dir success" : "delete empty dir error");
        } else {
            view_.ConsoleLine(p);
            view_.ConsoleLine(fs::remove(entry.path(), e) ? "delete file success" : "delete file error");
        }
    }
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

    const std::vector<OpenPort> ports = found_ports();
    const bool cover = cover_file_.load();
    // A second run within the same second gets a suffix, so it never writes into the first
    // one's log file or (without cover-file) its result folders.
    const std::string stamp = RunTimeStamp(local_now());
    std::string run_id = stamp;
    for (int n = 2;; ++n) {
        bool taken = fs::exists(log_root_ + run_id + ".json", error);
        for (const OpenPort &port : ports) {
            if (!cover) taken = taken || fs::exists(result_root_ + port.name + "-" + run_id, error);
        }
        if (!taken) break;
        run_id = stamp + "_" + std::to_string(n);
    }

    std::vector<std::string> folders;
    for (const OpenPort &port : ports) {
        const std::string folder = cover ? result_root_ + "A-" + port.name : result_root_ + port.name + "-" + run_id;
        if (cover) ClearFolder(folder);
        fs::create_directories(folder, error);
        folders.push_back(folder);
    }
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        result_folders_ = folders;
    }
    log_.AppendLine(kRunStartText, kColourInfo);
    fs::create_directories(log_root_, error);
    {
        std::lock_guard<std::mutex> lock(run_mutex_);
        run_log_ = nlohmann::json::object();
        run_log_path_ = log_root_ + run_id + ".json";
        finished_ports_ = 0;
        total_steps_ = static_cast<unsigned>(commands.size());
        summary_ = RunSummary{};
        summary_.ok = true;
    }
    running_.store(true);
    app_.RunAll(&commands);
    return true;
}

void RunSession::WriteRunLog() {
    // Written beside and renamed over the old file, so a reader or a crash never meets half a
    // document.
    const std::string temporary = run_log_path_ + ".part.json";
    {
        files::json_file file(temporary, files::json_file::mode::write);
        if (!file.is_open()) return;
        file.value = run_log_;
        if (!file.write()) {
            file.close();
            std::error_code ignored;
            fs::remove(temporary, ignored);
            return;
        }
        file.close();
    }
    std::error_code error;
    fs::rename(temporary, run_log_path_, error);
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
        const std::int32_t slot = SerialPortApp::FindPortIndex(port, app_.open_ports());
        event.detail = app_.FailureDetail(slot);
        std::string shown = event.message.empty() ? "code " + std::to_string(*result) : event.message;
        if (!event.detail.empty()) shown += " (" + event.detail + ")";
        log_.LogFormat(LogError, kStepFailedFormat, port.c_str(), static_cast<int>(s),
                       ATCmdName(command->command).c_str(), shown.c_str());
        if (cell >= 0) {
            view_.SetCellBarColour(cell, kBarRed);
            view_.SetCellPicture(cell, StatusPicture::Failed);
        }
        nlohmann::json &failed = run_log_[port]["logs"]["failed instruct"];
        failed["line num"] = s;
        failed["cmd"] = event.command_line;
        failed["err msg"] = event.message;
    } else {
        log_.LogFormat(LogSuccess, kStepDoneFormat, port.c_str(), static_cast<int>(s));
        if (cell >= 0) view_.SetCellBarColour(cell, kBarGreen);
        run_log_[port]["logs"]["succeed instruct"].push_back(event.command_line);
    }
    run_log_[port]["final step"] = s;
    WriteRunLog();
    if (cell >= 0) view_.SetCellPosition(cell, progress);
    view_.OnStep(event);
}

void RunSession::OnPortDone(std::string &port, ATResult *result) {
    std::lock_guard<std::mutex> lock(run_mutex_);
    if (*result == 0) {
        const int cell = CellOf(port);
        if (cell >= 0) view_.SetCellPicture(cell, StatusPicture::Succeed);
    }
    run_log_[port]["-result"] = *result == 0;
    run_log_[port]["-total step"] = total_steps_;
    WriteRunLog();
    summary_.port_results.emplace_back(port, *result);
    if (*result != 0) summary_.ok = false;
    view_.OnPortEnd(port, *result);
    ++finished_ports_;
    if (static_cast<int>(finished_ports_) >= writer_count()) {
        finished_ports_ = 0;
        RunFinished(false);
    }
}

void RunSession::RunFinished(bool stopped) {
    running_.store(false);
    run_log_ = nlohmann::json::object();
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
    summary_.run_log_path = run_log_path_;
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        for (std::size_t k = 0; k < found_ports_.size() && k < result_folders_.size(); ++k) {
            summary_.result_folders.emplace_back(found_ports_[k].name, result_folders_[k]);
        }
    }
    view_.OnRunEnd(summary_);
}

void RunSession::RequestStop() { app_.RequestStop(); }

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

// -------------------------------------- result files -----------------------------------------

void RunSession::PrintByteList(const std::uint8_t *bytes, std::size_t n, const std::string &port, const char *label) {
    log_.LogFormat(LogSuccess, "%s %s[%d]:", port.c_str(), label, static_cast<int>(n));
    std::string list;
    char item[8];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(item, sizeof item, "0x%02X", bytes[i]);
        if (i != 0) list += ", ";
        list += item;
    }
    log_.LogFormat(LogSuccess, "{ %s }", list.c_str());
}

void RunSession::PrintHexDump(const std::uint8_t *bytes, std::uint32_t address, std::size_t n) {
    char item[4];
    for (std::size_t line = 0; line < n; line += 8) {
        std::string text;
        for (std::size_t i = line; i < n && i < line + 8; ++i) {
            std::snprintf(item, sizeof item, "%02X ", bytes[i]);
            text += item;
        }
        log_.LogFormat(LogSuccess, "0x%08X: %s", static_cast<unsigned>(address + line), text.c_str());
    }
}

void RunSession::OnWriterInfo(std::string &port, kvat_writer_info *info) {
    view_.OnWriterInfoRecord(port, *info);
    write_json_result(FolderOf(port), "/writer_info.json", [&](files::json_file &file) { files::write_writer_info(file, *info); });
    if (!print_info_.load()) return;
    std::lock_guard<std::mutex> lock(run_mutex_);
    log_.LogFormat(LogSuccess, ">%s print info", port.c_str());
    log_.LogFormat(LogSuccess, "    <type>: %s", field_text(info->type).c_str());
    log_.LogFormat(LogSuccess, "    <SN>: %.32s", field_text(info->serial_number).c_str());
    log_.LogFormat(LogSuccess, "    <hardware version>: %s", field_text(info->hardware_version).c_str());
    log_.LogFormat(LogSuccess, "    <bootloader version>: %s", field_text(info->bootloader_version).c_str());
    log_.LogFormat(LogSuccess, "    <interface version>: %s", field_text(info->interface_version).c_str());
}

void RunSession::OnWriterConfig(std::string &port, kvat_writer_config *config) {
    write_json_result(FolderOf(port), "/writer_cfg.json", [&](files::json_file &file) { files::write_writer_config(file, *config); });
    if (!print_info_.load()) return;
    const auto *r = reinterpret_cast<const std::uint8_t *>(config);
    std::lock_guard<std::mutex> lock(run_mutex_);
    const auto line = [this](const char *format, auto value) { log_.LogFormat(LogSuccess, format, value); };
    log_.LogFormat(LogSuccess, ">%s print config", port.c_str());
    log_.LogLevelLine(LogSuccess, "    names");
    line("    <vendor>: %s", field_text(r, 16).c_str());
    line("    <series>: %s", field_text(r + 16, 16).c_str());
    line("    <model>: %s", field_text(r + 32, 16).c_str());
    log_.LogLevelLine(LogSuccess, "    base config");
    line("    <erase>: %d", static_cast<int>(r[48]));
    line("    <vext>: %d", static_cast<int>(r[49]));
    line("    <clock>: %d", static_cast<int>(r[50]));
    line("    <buzzer>: %d", static_cast<int>(r[51]));
    line("    <option byte type>: %d", static_cast<int>(r[52]));
    log_.LogLevelLine(LogSuccess, "    offline config");
    line("    <limit enable>: %d", static_cast<int>(r[53]));
    line("    <limit number>: %d", static_cast<int>(at_get_le32(r + 54)));
    line("    <auto>: %d", static_cast<int>(r[58]));
    line("    <in debounce>: %d ms", static_cast<int>(le16(r + 59)));
    line("    <out debounce>: %d ms", static_cast<int>(le16(r + 61)));
    log_.LogLevelLine(LogSuccess, "    output config");
    line("    <disable power after programming>: %d", static_cast<int>(r[63]));
    line("    <run target after programming>: %d", static_cast<int>(r[64]));
    line("    <power on debounce>: %d ms", static_cast<int>(le16(r + 65)));
    line("    <power off debounce>: %d ms", static_cast<int>(le16(r + 67)));
    line("    <reset pin ctrl>: %d", static_cast<int>(r[69]));
}

void RunSession::OnChipId(std::string &port, kvat_chip_id *id) {
    // A count beyond the record is held to the record.
    const std::size_t n = std::min<std::size_t>(id->count, sizeof id->id);
    const std::string folder = FolderOf(port);
    if (!folder.empty()) {
        std::string entry = "$Target chip id[" + std::to_string(n) + "]:\n{";
        char item[8];
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(item, sizeof item, i + 1 < n ? " 0x%02X," : " 0x%02X ", id->id[i]);
            entry += item;
        }
        entry += "}\r\n";
        append_file(folder + "/chip_id.txt", entry.data(), entry.size());
    }
    if (!print_info_.load()) return;
    std::lock_guard<std::mutex> lock(run_mutex_);
    PrintByteList(id->id, n, port, "target chip id");
}

void RunSession::OnMemoryData(std::string &port, kvat_memory_block *block) {
    const std::uint8_t *raw = reinterpret_cast<const std::uint8_t *>(block);
    const std::uint32_t address = at_get_le32(raw);
    const std::uint32_t length = at_get_le32(raw + 4);
    const std::size_t n = std::min<std::size_t>(length, KVAT_MAX_CHUNK);
    const std::string folder = FolderOf(port);
    if (!folder.empty()) append_file(folder + "/memory.bin", raw + 8, n);
    if (!print_info_.load()) return;
    std::lock_guard<std::mutex> lock(run_mutex_);
    log_.LogFormat(LogSuccess, "%s memmory addr: 0x%08X, size: %d", port.c_str(), address, static_cast<int>(n));
    PrintHexDump(raw + 8, address, n);
}

void RunSession::OnOptionBytes(std::string &port, kvat_option_bytes *bytes) {
    const std::uint8_t *raw = reinterpret_cast<const std::uint8_t *>(bytes);
    const std::size_t n = std::min<std::size_t>(at_get_le32(raw), sizeof bytes->data);
    const std::string folder = FolderOf(port);
    if (!folder.empty()) append_file(folder + "/option_byte.bin", raw + 4, n);
    if (!print_info_.load()) return;
    std::lock_guard<std::mutex> lock(run_mutex_);
    PrintByteList(raw + 4, n, port, "options byte raw");
}

void RunSession::OnBroadcastResponse(std::string &port, kvat_broadcast_record *record) {
    const std::uint8_t *raw = reinterpret_cast<const std::uint8_t *>(record);
    const std::size_t n = std::min<std::size_t>(at_get_le32(raw + 5), KVAT_MAX_CHUNK);
    const std::string folder = FolderOf(port);
    if (!folder.empty()) append_file(folder + "/broadcast_rsp.bin", raw + 9, n);
}

void RunSession::OnProjectInfo(std::string &port, kvat_project_info_record *info) {
    write_json_result(FolderOf(port), "/project_info.json", [&](files::json_file &file) { files::write_project_info(file, *info); });
    if (!print_info_.load()) return;
    const std::uint8_t *raw = reinterpret_cast<const std::uint8_t *>(info);
    std::lock_guard<std::mutex> lock(run_mutex_);
    log_.LogFormat(LogSuccess, "%s project info", port.c_str());
    log_.LogFormat(LogSuccess, "    Project enabled: %s\n", raw[0] != 0 ? "yes" : "no");
    log_.LogFormat(LogSuccess, "    Project size: %d\n", static_cast<int>(at_get_le32(raw + 1)));
    log_.LogFormat(LogSuccess, "    Project CRC32: 0x%08X\n", at_get_le32(raw + 5));
}

void RunSession::OnOfflineStatus(std::string &, OfflineStatus *status) {
    if (status->state == 0) log_.LogLevelLine(LogSuccess, "offline programming done ...");
}

}  // namespace kelvra::run
