// How kvat renders a run session: message-log lines on standard output (coloured on a
// terminal), one progress bar per port on standard error when that is a terminal, or JSON
// Lines with one object per event. Shared by the run and scan verbs.
#pragma once

#include "host/run/panel_presenter.h"
#include "host/run/run_session.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace kvat::cli {

class RunOutput final : public kelvra::run::IRunView, private kelvra::run::IPanelView {
public:
    struct Options {
        bool json = false;
        bool show_log = true;  // scan: the table is the output, the log only on error
        bool verbose = false;  // the image reader's summary, once per image
    };
    explicit RunOutput(Options options);
    ~RunOutput() override;

    // IRunView: every event of the session, and its question.
    void OnEvent(const kelvra::run::RunEvent &event) override;
    kelvra::run::MessageBoxAnswer Ask(const kelvra::run::Question &question) override;

    void AppendLine(const kelvra::run::LogEntry &entry);
    void ReplaceLiveLine(const kelvra::run::LogEntry &entry);
    void ConsoleLine(const std::string &line);

    // A plain line of the tool itself: stderr, never mixed into JSON output.
    void Note(const std::string &text);
    // Prints one JSON event (JSON mode only).
    void Event(const nlohmann::ordered_json &event);

    bool json_mode() const { return options_.json; }
    bool run_ended() const;
    kelvra::run::RunSummary summary() const;
    // The end-of-run table: port, writer serial, result, time, verified and the unit's serial
    // number when it got one (plain output only).
    void PrintUnitTable();

private:
    struct Cell {
        std::string label;
        int position = 0;
        kelvra::run::StatusPicture picture = kelvra::run::StatusPicture::Connected;
        std::string step;   // "3/7 -write": the command running or last run
        std::string bytes;  // its transfer so far, "" for a command without one
    };
    static std::string byte_count(std::uint64_t n);
    // IPanelView: the progress bars, as the presenter sets them (with mutex_ held).
    void BuildPortPanel(const std::vector<std::string> &names) override;
    void SetCellPicture(int cell, kelvra::run::StatusPicture picture) override;
    void SetCellBarColour(int, std::uint32_t) override {}
    void SetCellPosition(int cell, int position) override;
    void SetCellLabel(int cell, const std::string &label) override;
    void SetControlsEnabled(bool) override {}
    void SetRunEnabled(bool) override {}

    void OnScanFinished(const kelvra::run::ScanFinished &scan);
    void OnStep(const kelvra::run::StepDone &step);
    void OnPortEnd(const kelvra::run::PortEnded &end);
    void OnLoadProgress(const kelvra::run::LoadProgress &progress);
    void OnRunEnd(const kelvra::run::RunSummary &summary);
    void print_line(const kelvra::run::LogEntry &entry, bool live);
    void erase_bars();   // with mutex_ held
    void draw_bars(bool force);  // with mutex_ held
    void end_live_line();  // with mutex_ held
    void emit(const nlohmann::ordered_json &event);  // with mutex_ held
    void flush_stdout();  // with mutex_ held

    Options options_;
    bool colour_ = false;    // stdout is a terminal and NO_COLOR is unset
    bool stdout_tty_ = false;
    bool stdout_closed_ = false;  // the reader of standard output went away
    bool bars_ = false;      // stderr is a terminal
    mutable std::mutex mutex_;
    kelvra::run::PanelPresenter presenter_{*this};
    std::vector<Cell> cells_;
    int drawn_rows_ = 0;
    bool live_on_screen_ = false;
    std::string last_live_text_;
    std::chrono::steady_clock::time_point last_draw_{};
    bool run_ended_ = false;
    // Each port's end, for the table that closes a run on a terminal.
    struct UnitRow {
        std::string port;
        std::string writer_serial;
        kelvra::run::ATResult result = 0;
        std::int64_t duration_ms = 0;
        bool verified = false;
        std::string unit_serial;  // "" when the run wrote none
    };
    std::vector<UnitRow> units_;
    std::vector<std::string> summarised_images_;  // images whose summary was printed
    kelvra::run::RunSummary summary_;
};

}  // namespace kvat::cli
