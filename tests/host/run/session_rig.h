// A run session on virtual writers over real pseudo-terminals, with a view that records what
// a window would show.
#pragma once

#include "host/model/at_command.h"
#include "host/model/cmd_param.h"
#include "host/run/panel_presenter.h"
#include "host/run/port_manager.h"
#include "host/run/run_session.h"
#include "sim/pty_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kelvra::run::test {

namespace fs = std::filesystem;

struct Cell {
    std::string label;
    StatusPicture picture = StatusPicture::Connected;
    std::uint32_t colour = 0;
    int position = 0;
};

class RecordingView final : public IRunView, private IPanelView {
public:
    void OnEvent(const RunEvent &event) override {
        if (const auto *line = std::get_if<LogLine>(&event)) {
            if (line->live) {
                ReplaceLiveLine(line->entry);
            } else {
                AppendLine(line->entry);
            }
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            presenter_.OnEvent(event);
            if (const auto *p = std::get_if<ScanProgress>(&event)) {
                if (p->phase == ScanProgress::Phase::Open) scan_wait_ += "open;";
                if (p->phase == ScanProgress::Phase::Progress) scan_percents_.push_back(p->percent);
                if (p->phase == ScanProgress::Phase::Close) scan_wait_ += "close;";
            } else if (const auto *step = std::get_if<StepDone>(&event)) {
                steps_.push_back(*step);
            } else if (const auto *end = std::get_if<RunFinished>(&event)) {
                summaries_.push_back(end->summary);
            } else if (const auto *d = std::get_if<Diagnostic>(&event)) {
                console_.push_back(d->text);
            }
        }
    }
    MessageBoxAnswer Ask(const Question &question) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (question.row >= 0) selected_row_ = question.row;
        boxes_.push_back(question.caption + ": " + question.text);
        return answer_;
    }

    void AppendLine(const LogEntry &entry) {
        // A view slow to print a line, to widen the windows between threads.
        std::string needle;
        int slow_ms = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            needle = slow_text_;
            slow_ms = slow_ms_;
        }
        if (!needle.empty() && entry.text.find(needle) != std::string::npos) {
            std::this_thread::sleep_for(std::chrono::milliseconds(slow_ms));
        }
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(entry);
        live_ = false;
    }
    void ReplaceLiveLine(const LogEntry &entry) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (live_) {
            lines_.back() = entry;
        } else {
            lines_.push_back(entry);
        }
        live_ = true;
        ++live_updates_;
    }

    std::vector<LogEntry> lines() const { return locked(lines_); }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto &l : lines()) out.push_back(l.text);
        return out;
    }
    int count_text(const std::string &text) const {
        const auto t = texts();
        return static_cast<int>(std::count(t.begin(), t.end(), text));
    }
    bool has_text(const std::string &text) const { return count_text(text) > 0; }
    std::vector<Cell> cells() const { return locked(cells_); }
    std::vector<StepEvent> steps() const { return locked(steps_); }
    std::vector<RunSummary> summaries() const { return locked(summaries_); }
    std::vector<std::string> boxes() const { return locked(boxes_); }
    std::vector<std::string> console() const { return locked(console_); }
    std::vector<int> scan_percents() const { return locked(scan_percents_); }
    std::string scan_wait() const { return locked(scan_wait_); }
    int live_updates() const { return locked(live_updates_); }
    bool controls_enabled() const { return locked(controls_enabled_); }
    bool run_enabled() const { return locked(run_enabled_); }
    int selected_row() const { return locked(selected_row_); }
    void set_slow_line(const std::string &needle, int ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        slow_text_ = needle;
        slow_ms_ = ms;
    }
    void set_answer(MessageBoxAnswer answer) {
        std::lock_guard<std::mutex> lock(mutex_);
        answer_ = answer;
    }

private:
    // IPanelView, called by the presenter with mutex_ held.
    void BuildPortPanel(const std::vector<std::string> &names) override {
        cells_.clear();
        for (const auto &n : names) cells_.push_back({n, StatusPicture::Connected, 0, 0});
    }
    void SetCellPicture(int k, StatusPicture p) override { with_cell(k, [p](Cell &c) { c.picture = p; }); }
    void SetCellBarColour(int k, std::uint32_t colour) override {
        with_cell(k, [colour](Cell &c) { c.colour = colour; });
    }
    void SetCellPosition(int k, int position) override {
        with_cell(k, [position](Cell &c) { c.position = position; });
    }
    void SetCellLabel(int k, const std::string &label) override {
        with_cell(k, [&label](Cell &c) { c.label = label; });
    }
    void SetControlsEnabled(bool on) override { controls_enabled_ = on; }
    void SetRunEnabled(bool on) override { run_enabled_ = on; }

    template <typename T>
    T locked(const T &value) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value;
    }
    template <typename Fn>
    void with_cell(int k, Fn fn) {
        ASSERT_GE(k, 0);
        ASSERT_LT(static_cast<std::size_t>(k), cells_.size());
        fn(cells_[static_cast<std::size_t>(k)]);
    }

    mutable std::mutex mutex_;
    PanelPresenter presenter_{*this};
    std::vector<LogEntry> lines_;
    bool live_ = false;
    int live_updates_ = 0;
    std::vector<Cell> cells_;
    bool controls_enabled_ = true;
    bool run_enabled_ = false;
    int selected_row_ = -1;
    std::vector<std::string> boxes_;
    MessageBoxAnswer answer_ = MessageBoxAnswer::Yes;
    std::string slow_text_;
    int slow_ms_ = 0;
    std::string scan_wait_;
    std::vector<int> scan_percents_;
    std::vector<StepEvent> steps_;
    std::vector<RunSummary> summaries_;
    std::vector<std::string> console_;
};

inline std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void write_file(const fs::path &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// A scratch folder per rig: the program folder (InfoFile/, log/) and input files.
class ScratchDir {
public:
    ScratchDir() {
        static int counter = 0;
        path_ = fs::temp_directory_path() /
                ("kelvra_run_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path &path() const { return path_; }
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

struct RigOptions {
    std::size_t writers = 2;
    sim::WriterSettings settings;
    sim::FaultSettings faults;
    std::optional<std::size_t> fault_writer;
    std::map<std::size_t, sim::FaultSettings> writer_faults;
    bool verify = false;
};

// N virtual writers, a recording view and a session whose scan finds the writers by their links.
class SessionRig {
public:
    explicit SessionRig(const RigOptions &options = {}) {
        sim::VirtualWriterPool::Options pool;
        pool.count = options.writers;
        pool.link_dir = scratch.path() / "links";
        pool.settings = options.settings;
        pool.faults = options.faults;
        pool.fault_writer = options.fault_writer;
        pool.writer_faults = options.writer_faults;
        writers = std::make_unique<sim::VirtualWriterPool>(pool);
        SessionOptions session_options;
        session_options.program_dir = (scratch.path() / "program").string();
        for (std::size_t i = 0; i < writers->size(); ++i) {
            session_options.scan.explicit_ports.push_back(writers->link(i).string());
        }
        // No system port takes part: an empty sysfs tree.
        fs::create_directories(scratch.path() / "sys");
        session_options.scan.sysfs_root = (scratch.path() / "sys").string();
        session_options.scan_linger_ms = 0;
        session_options.verify = options.verify;
        session = std::make_unique<RunSession>(view, session_options);
    }
    ~SessionRig() {
        session.reset();
        writers.reset();
    }

    std::vector<std::string> scan() { return session->Scan(false); }

    // Starts the run and waits for its end.
    bool run(const std::vector<S_CmdParam> &commands) {
        if (!session->StartRun(commands)) return false;
        EXPECT_TRUE(session->WaitIdle(60000));
        return true;
    }

    fs::path program() const { return scratch.path() / "program"; }
    fs::path folder(const std::string &port) const { return program() / "InfoFile" / ("A-" + port); }
    std::string run_log_text() const {
        const fs::path log = program() / "log";
        std::vector<fs::path> files;
        for (const auto &e : fs::directory_iterator(log)) files.push_back(e.path());
        std::sort(files.begin(), files.end());
        return files.empty() ? std::string() : read_file(files.back());
    }

    ScratchDir scratch;
    RecordingView view;
    std::unique_ptr<sim::VirtualWriterPool> writers;
    std::unique_ptr<RunSession> session;
};

inline S_CmdParam command(std::int32_t id) { return NewCmdParam(id); }

inline S_CmdParam with_file(std::int32_t id, const std::string &file) {
    S_CmdParam c = NewCmdParam(id);
    SetCmdText(c.file, file);
    return c;
}

}  // namespace kelvra::run::test
