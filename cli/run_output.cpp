#include "cli/run_output.h"

#include "host/platform/platform.h"

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
    if (!options_.json) return;
    const std::string text = dump(event);
    std::fprintf(stdout, "%s\n", text.c_str());
    std::fflush(stdout);
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
    std::fflush(out);
    draw_bars(true);
}

void RunOutput::AppendLine(const LogEntry &entry) { print_line(entry, false); }
void RunOutput::ReplaceLiveLine(const LogEntry &entry) { print_line(entry, true); }

void RunOutput::ConsoleLine(const std::string &line) {
    // Standard output holds JSON only in JSON mode; diagnostics go beside it.
    std::lock_guard<std::mutex> lock(mutex_);
    erase_bars();
    std::FILE *out = options_.json || !options_.show_log ? stderr : stdout;
    std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
    draw_bars(true);
}

kelvra::run::MessageBoxAnswer RunOutput::ShowMessageBox(const std::string &text, const std::string &caption,
                                                        kelvra::run::MessageBoxIcon,
                                                        kelvra::run::MessageBoxButtons buttons) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        erase_bars();
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        std::fflush(stderr);
        draw_bars(true);
    }
    // Nobody can answer a question here: the safe answer is no.
    return buttons == kelvra::run::MessageBoxButtons::YesNo ? kelvra::run::MessageBoxAnswer::No
                                                             : kelvra::run::MessageBoxAnswer::Ok;
}

// ------------------------------------------ cells --------------------------------------------

void RunOutput::erase_bars() {
    if (!bars_ || drawn_rows_ == 0) return;
    std::fprintf(stderr, "\033[%dF\033[J", drawn_rows_);
    drawn_rows_ = 0;
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
        std::fprintf(stderr, "\033[K%-*s [%s] %3d%% %s\n", static_cast<int>(width), cell.label.c_str(),
                     bar.c_str(), cell.position, picture_word(cell.picture));
    }
    drawn_rows_ = static_cast<int>(cells_.size());
    std::fflush(stderr);
}

void RunOutput::BuildPortPanel(const std::vector<std::string> &names) {
    std::lock_guard<std::mutex> lock(mutex_);
    erase_bars();
    cells_.clear();
    for (const std::string &name : names) cells_.push_back({name, 0, StatusPicture::Connected});
}

void RunOutput::SetCellPicture(int cell, StatusPicture picture) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cell < 0 || static_cast<std::size_t>(cell) >= cells_.size()) return;
    cells_[static_cast<std::size_t>(cell)].picture = picture;
    draw_bars(false);
}

void RunOutput::SetCellBarColour(int, std::uint32_t) {}

void RunOutput::SetCellPosition(int cell, int position) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cell < 0 || static_cast<std::size_t>(cell) >= cells_.size()) return;
    cells_[static_cast<std::size_t>(cell)].position = position;
    draw_bars(false);
}

void RunOutput::SetCellLabel(int cell, const std::string &label) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cell < 0 || static_cast<std::size_t>(cell) >= cells_.size()) return;
    cells_[static_cast<std::size_t>(cell)].label = label;
    draw_bars(false);
}

// ------------------------------------------ events -------------------------------------------

void RunOutput::OnScanResult(const std::vector<std::string> &ports, const std::vector<std::string> &devices) {
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < ports.size(); ++i) {
        list.push_back({{"port", ports[i]}, {"device", i < devices.size() ? devices[i] : std::string()}});
    }
    emit({{"event", "scan"}, {"ports", list}});
}

void RunOutput::OnStep(const kelvra::run::StepEvent &step) {
    std::lock_guard<std::mutex> lock(mutex_);
    nlohmann::ordered_json event = {{"event", "step"},
                                    {"port", step.port},
                                    {"step", step.step},
                                    {"total", step.total},
                                    {"command_line", step.command_line},
                                    {"result", step.result},
                                    {"message", step.message}};
    if (!step.detail.empty()) event["detail"] = step.detail;
    emit(event);
}

void RunOutput::OnPortEnd(const std::string &port, kelvra::run::ATResult result) {
    std::lock_guard<std::mutex> lock(mutex_);
    emit({{"event", "port_done"}, {"port", port}, {"result", result}});
}

void RunOutput::OnLoadProgress(std::uint32_t total, std::uint32_t sent) {
    std::lock_guard<std::mutex> lock(mutex_);
    emit({{"event", "load_progress"}, {"total", total}, {"sent", sent}});
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
    if (summary.stopped) event["stopped"] = true;
    emit(event);
}

}  // namespace kvat::cli
