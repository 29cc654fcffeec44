#include "cli/run_output.h"
#include "cli/text_table.h"

#include "host/model/at_command.h"
#include "host/platform/platform.h"

#include <algorithm>
#include <cstdlib>

namespace kvat::cli {
namespace {

using kelvra::run::LogEntry;
using kelvra::run::StatusPicture;

// ANSI colours closest to the log's four colours.
const char *ansi_colour(kelvra::run::E_LogLevel level) {
    switch (level) {
        case kelvra::run::LogWarning: return "\033[33m";
        case kelvra::run::LogError: return "\033[31m";
        case kelvra::run::LogSuccess: return "\033[32m";
        case kelvra::run::LogInfo: break;
    }
    return "\033[34m";
}

const char *picture_word(StatusPicture picture) {
    switch (picture) {
        case StatusPicture::Connected: return "connected";
        case StatusPicture::Disconnect: return "disconnected";
        case StatusPicture::Failed: return "failed";
        case StatusPicture::Succeed: return "succeeded";
    }
    return "";
}

std::string dump(const nlohmann::ordered_json &value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

RunOutput::RunOutput(Options options) : options_(options) {
    stdout_tty_ = kelvra::platform::IsTerminal(1);
    colour_ = stdout_tty_ && std::getenv("NO_COLOR") == nullptr && !options_.json;
    bars_ = kelvra::platform::IsTerminal(2) && !options_.json;
}

RunOutput::~RunOutput() {
    std::lock_guard<std::mutex> lock(mutex_);
    end_live_line();
    if (bars_ && drawn_rows_ > 0) {
        draw_bars(true);
        drawn_rows_ = 0;  // the final bars stay on screen
    }
}

bool RunOutput::run_ended() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return run_ended_;
}

kelvra::run::RunSummary RunOutput::summary() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return summary_;
}

void RunOutput::Event(const nlohmann::ordered_json &event) {
    std::lock_guard<std::mutex> lock(mutex_);
    emit(event);
}

void RunOutput::emit(const nlohmann::ordered_json &event) {
    if (!options_.json || stdout_closed_) return;
    const std::string text = dump(event);
    std::fprintf(stdout, "%s\n", text.c_str());
    flush_stdout();
}

void RunOutput::flush_stdout() {
    // A reader that went away (| head) ends our output, never the run.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) stdout_closed_ = true;
}

void RunOutput::Note(const std::string &text) {
    std::lock_guard<std::mutex> lock(mutex_);
    erase_bars();
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    draw_bars(true);
}

// ------------------------------------------- log ---------------------------------------------

void RunOutput::end_live_line() {
    live_on_screen_ = false;
    last_live_text_.clear();
}

void RunOutput::print_line(const LogEntry &entry, bool live) {
    if (!options_.show_log) {
        // Only what went wrong, as plain text beside the verb's own output.
        if (entry.level != kelvra::run::LogError && entry.level != kelvra::run::LogWarning) return;
        std::lock_guard<std::mutex> lock(mutex_);
        std::fprintf(stderr, "%s %s\n", entry.time.c_str(), entry.text.c_str());
        std::fflush(stderr);
        return;
    }
    if (options_.json) {
        nlohmann::ordered_json event = {{"event", "log"},
                                        {"time", entry.time},
                                        {"level", kelvra::run::LevelName(entry.level)},
                                        {"text", entry.text}};
        if (live) event["live"] = true;
        std::lock_guard<std::mutex> lock(mutex_);
        emit(event);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::FILE *out = stdout;
    if (stdout_closed_) return;
    if (live) {
        // Off a terminal the live line is printed once per new text, not once per update.
        if (!stdout_tty_ && entry.text == last_live_text_) return;
        last_live_text_ = entry.text;
    }
    erase_bars();
    // On a terminal a live line rewrites the one printed just before it.
    if (live && live_on_screen_ && stdout_tty_ && out == stdout) std::fputs("\033[F\033[K", out);
    if (!live) end_live_line();
    if (colour_) {
        std::fprintf(out, "\033[34m%s\033[0m %s%s\033[0m\n", entry.time.c_str(), ansi_colour(entry.level),
                     entry.text.c_str());
    } else {
        std::fprintf(out, "%s %s\n", entry.time.c_str(), entry.text.c_str());
    }
    live_on_screen_ = live;
    flush_stdout();
    draw_bars(true);
}

void RunOutput::AppendLine(const LogEntry &entry) { print_line(entry, false); }
void RunOutput::ReplaceLiveLine(const LogEntry &entry) { print_line(entry, true); }

void RunOutput::ConsoleLine(const std::string &line) {
    // Standard output holds JSON only in JSON mode; diagnostics go beside it.
    std::lock_guard<std::mutex> lock(mutex_);
    erase_bars();
    std::FILE *out = options_.json || !options_.show_log ? stderr : stdout;
    if (out == stdout && stdout_closed_) return;
    std::fprintf(out, "%s\n", line.c_str());
    if (out == stdout) {
        flush_stdout();
    } else {
        std::fflush(out);
    }
    draw_bars(true);
}

kelvra::run::MessageBoxAnswer RunOutput::Ask(const kelvra::run::Question &question) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        erase_bars();
        std::fprintf(stderr, "%s: %s\n", question.caption.c_str(), question.text.c_str());
        std::fflush(stderr);
        draw_bars(true);
    }
    // Nobody can answer a question here: the safe answer is no.
    return question.buttons == kelvra::run::MessageBoxButtons::YesNo ? kelvra::run::MessageBoxAnswer::No
                                                                      : kelvra::run::MessageBoxAnswer::Ok;
}

void RunOutput::OnEvent(const kelvra::run::RunEvent &event) {
    using namespace kelvra::run;
    if (const auto *line = std::get_if<LogLine>(&event)) {
        print_line(line->entry, line->live);
        return;
    }
    if (const auto *d = std::get_if<Diagnostic>(&event)) {
        if (!d->image.empty()) {
            // Every port reads the same image: its summary once per run, and only when asked.
            std::lock_guard<std::mutex> lock(mutex_);
            if (!options_.verbose) return;
            if (std::find(summarised_images_.begin(), summarised_images_.end(), d->image) != summarised_images_.end()) {
                return;
            }
            summarised_images_.push_back(d->image);
        }
        std::size_t start = 0;
        while (start < d->text.size()) {
            const std::size_t end = d->text.find('\n', start);
            ConsoleLine(d->text.substr(start, end == std::string::npos ? std::string::npos : end - start));
            if (end == std::string::npos) break;
            start = end + 1;
        }
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        presenter_.OnEvent(event);
    }
    if (const auto *started = std::get_if<StepStarted>(&event)) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (started->cell >= 0 && static_cast<std::size_t>(started->cell) < cells_.size()) {
            Cell &cell = cells_[static_cast<std::size_t>(started->cell)];
            cell.step = std::to_string(started->step) + "/" + std::to_string(started->total) + " " + started->command;
            cell.bytes.clear();
            draw_bars(false);
        }
        return;
    }
    if (const auto *progress = std::get_if<StepProgress>(&event)) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (progress->cell >= 0 && static_cast<std::size_t>(progress->cell) < cells_.size()) {
            cells_[static_cast<std::size_t>(progress->cell)].bytes =
                (progress->verifying ? "verify " : "") + byte_count(progress->done) + "/" + byte_count(progress->size);
            draw_bars(false);
        }
        return;
    }
    if (const auto *scan = std::get_if<ScanFinished>(&event)) OnScanFinished(*scan);
    if (const auto *step = std::get_if<StepDone>(&event)) OnStep(*step);
    if (const auto *end = std::get_if<PortEnded>(&event)) OnPortEnd(*end);
    if (const auto *load = std::get_if<LoadProgress>(&event)) OnLoadProgress(*load);
    if (const auto *done = std::get_if<RunFinished>(&event)) OnRunEnd(done->summary);
}

// ------------------------------------------ cells --------------------------------------------

void RunOutput::erase_bars() {
    if (!bars_ || drawn_rows_ == 0) return;
    std::fprintf(stderr, "\033[%dF\033[J", drawn_rows_);
    drawn_rows_ = 0;
}

// 512 B, 12.3 KiB, 1.5 MiB: short enough for a bar's line.
std::string RunOutput::byte_count(std::uint64_t n) {
    char text[32];
    if (n < 1024) {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(n));
    } else if (n < 1024 * 1024) {
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(n) / 1024.0);
    } else {
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(n) / (1024.0 * 1024.0));
    }
    return text;
}

void RunOutput::draw_bars(bool force) {
    if (!bars_ || cells_.empty()) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn_rows_ > 0 && now - last_draw_ < std::chrono::milliseconds(50)) return;
    last_draw_ = now;
    if (drawn_rows_ > 0) std::fprintf(stderr, "\033[%dF", drawn_rows_);
    std::size_t width = 0;
    for (const Cell &cell : cells_) width = std::max(width, cell.label.size());
    constexpr int kBar = 30;
    for (const Cell &cell : cells_) {
        const int filled = cell.position * kBar / 100;
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.append(static_cast<std::size_t>(kBar - filled), '-');
        // The picture word, then what the port is doing: step and command, and its bytes so far.
        std::string doing = cell.step;
        if (!cell.bytes.empty()) doing += " " + cell.bytes;
        std::fprintf(stderr, "\033[K%-*s [%s] %3d%% %-12s %s\n", static_cast<int>(width), cell.label.c_str(),
                     bar.c_str(), cell.position, picture_word(cell.picture), doing.c_str());
    }
    drawn_rows_ = static_cast<int>(cells_.size());
    std::fflush(stderr);
}

void RunOutput::BuildPortPanel(const std::vector<std::string> &names) {
    erase_bars();
    cells_.clear();
    for (const std::string &name : names) cells_.push_back({name, 0, StatusPicture::Connected, {}, {}});
}

void RunOutput::SetCellPicture(int cell, StatusPicture picture) {
    if (cell < 0 || static_cast<std::size_t>(cell) >= cells_.size()) return;
    cells_[static_cast<std::size_t>(cell)].picture = picture;
    draw_bars(false);
}

void RunOutput::SetCellPosition(int cell, int position) {
    if (cell < 0 || static_cast<std::size_t>(cell) >= cells_.size()) return;
    cells_[static_cast<std::size_t>(cell)].position = position;
    draw_bars(false);
}

void RunOutput::SetCellLabel(int cell, const std::string &label) {
    if (cell < 0 || static_cast<std::size_t>(cell) >= cells_.size()) return;
    cells_[static_cast<std::size_t>(cell)].label = label;
    draw_bars(false);
}

// ------------------------------------------ events -------------------------------------------

void RunOutput::OnScanFinished(const kelvra::run::ScanFinished &scan) {
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const kelvra::run::PortRecord &port : scan.ports) {
        list.push_back({{"port", port.name},
                        {"device", port.device},
                        {"writer_serial", port.writer.serial_number},
                        {"writer_type", port.writer.type},
                        {"hw_version", port.writer.hardware_version},
                        {"fw_version", port.writer.interface_version}});
    }
    emit({{"event", "scan"}, {"ports", list}});
}

void RunOutput::OnStep(const kelvra::run::StepDone &step) {
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::ordered_json event = {{"event", "step"},
                                    {"port", step.port},
                                    {"step", step.step},
                                    {"total", step.total},
                                    {"command_line", step.command_line},
                                    {"result", step.result},
                                    {"message", step.message}};
    if (!step.detail.empty()) event["detail"] = step.detail;
    event["writer_serial"] = step.writer_serial;
    if (step.command.command == kelvra::ATCmdWriteTargetMemory) {
        event["verified"] = step.verified;
        event["verified_bytes"] = step.verified_bytes;
    }
    emit(event);
}

void RunOutput::OnPortEnd(const kelvra::run::PortEnded &end) {
    std::lock_guard<std::mutex> lock(mutex_);
    const kelvra::run::UnitFacts &unit = end.unit;
    nlohmann::ordered_json event = {{"event", "port_done"}, {"port", end.port}, {"result", end.result},
                                    {"writer_serial", unit.writer_serial}};
    if (!unit.chip_id.empty()) event["chip_id"] = unit.chip_id;
    event["started"] = unit.started;
    event["ended"] = unit.ended;
    event["duration_ms"] = unit.duration_ms;
    event["bytes_written"] = unit.bytes_written;
    event["bytes_read"] = unit.bytes_read;
    event["verified"] = unit.verified;
    event["image_sha256"] = unit.image_sha256;
    if (unit.unit_serial) event["unit_serial"] = *unit.unit_serial;
    emit(event);
    units_.push_back({end.port, unit.writer_serial, end.result, unit.duration_ms, unit.verified,
                      unit.unit_serial ? std::to_string(*unit.unit_serial) : std::string()});
}

void RunOutput::OnLoadProgress(const kelvra::run::LoadProgress &progress) {
    std::lock_guard<std::mutex> lock(mutex_);
    emit({{"event", "load_progress"}, {"total", progress.total}, {"sent", progress.sent}, {"port", progress.port}});
}

void RunOutput::OnRunEnd(const kelvra::run::RunSummary &summary) {
    std::lock_guard<std::mutex> lock(mutex_);
    run_ended_ = true;
    summary_ = summary;
    nlohmann::ordered_json folders = nlohmann::ordered_json::object();
    for (const auto &[port, folder] : summary.result_folders) folders[port] = folder;
    nlohmann::ordered_json event = {{"event", "run_done"},
                                    {"ok", summary.ok},
                                    {"run_log", summary.run_log_path},
                                    {"result_folders", folders}};
    if (summary.stopped) {
        event["stopped"] = true;
        event["stopped_ports"] = summary.stopped_ports;
    }
    if (!summary.save_failures.empty()) event["save_failures"] = summary.save_failures;
    emit(event);
}

void RunOutput::PrintUnitTable() {
    std::lock_guard<std::mutex> lock(mutex_);
    // On a terminal only: piped output stays as it was.
    if (!bars_ || units_.empty()) return;
    erase_bars();
    const bool serials = std::any_of(units_.begin(), units_.end(), [](const UnitRow &u) { return !u.unit_serial.empty(); });
    // In port order (ttyKV2 before ttyKV10), not in the order the ports ended.
    std::sort(units_.begin(), units_.end(), [](const UnitRow &a, const UnitRow &b) {
        return a.port.size() != b.port.size() ? a.port.size() < b.port.size() : a.port < b.port;
    });
    std::vector<std::vector<std::string>> rows = {{"PORT", "WRITER", "RESULT", "TIME", "VERIFIED"}};
    if (serials) rows[0].push_back("SERIAL");
    for (const UnitRow &u : units_) {
        char time[32];
        std::snprintf(time, sizeof time, "%.2f s", static_cast<double>(u.duration_ms) / 1000.0);
        rows.push_back({u.port, u.writer_serial.empty() ? "-" : u.writer_serial,
                        u.result == 0 ? "passed" : "failed (" + std::to_string(u.result) + ")", time,
                        u.verified ? "yes" : "no"});
        if (serials) rows.back().push_back(u.unit_serial.empty() ? "-" : u.unit_serial);
    }
    PrintTable(stderr, rows);
    std::fflush(stderr);
    // The table takes the bars' place for good: it closes the run.
    cells_.clear();
}

}  // namespace kvat::cli
