// The run as the main window drives it, free of any toolkit: the scan with its progress, the
// check of the command list, result folders and the run log, the step and port reports, lost
// ports, the result files with their printed blocks, and script loading. The session decides;
// a view (the desktop program's window, or the command-line tool) only renders what the
// session reports through IRunView.
#pragma once

#include "host/model/cmd_param.h"
#include "host/run/message_log.h"
#include "host/run/result_files.h"
#include "host/run/run_log.h"
#include "host/run/port_manager.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kelvra::run {

enum class StatusPicture { Connected, Disconnect, Failed, Succeed };
enum class MessageBoxIcon { Error, Question };
enum class MessageBoxButtons { Ok, YesNo };
enum class MessageBoxAnswer { Ok, Yes, No };

inline constexpr std::uint32_t kBarRed = 0x0000FF;     // 255
inline constexpr std::uint32_t kBarGreen = 0x00CD00;   // 52480
inline constexpr std::uint32_t kBarReady = 0xFF0000;   // a run starts: blue

// Who a writer says it is, as its writer-information answer to the scan's probe gave it.
struct WriterIdentity {
    std::string type;
    std::string serial_number;
    std::string hardware_version;
    std::string bootloader_version;
    std::string interface_version;
};

// One writer of the last scan, built once by the scan and carried through the run: its cell
// in the panel is its position in the scan's list.
struct PortRecord {
    std::int32_t slot = -1;
    std::string name;
    std::string device;
    std::string label;          // what its cell shows ("<name>已断开" once lost)
    std::string result_folder;  // of the current or last run; "" before the first
    bool lost = false;          // unplugged since the scan
    bool closed = false;        // closed with every port: a loss reported later counts nothing
    WriterIdentity writer;
};

struct StepEvent {
    std::string port;
    unsigned step = 0;
    unsigned total = 0;
    S_CmdParam command{};
    std::string command_line;  // the command as a script line
    ATResult result = 0;
    std::string message;  // the result code's message text
    std::string detail;   // more on a failure, "" when there is nothing to add
};

struct RunSummary {
    bool ok = false;       // every port ended with result 0
    bool stopped = false;  // a stop was requested during the run
    std::vector<std::string> stopped_ports;  // ports that did not finish their list
    // Results or run-log writes that could not be kept, each as "path: reason".
    std::vector<std::string> save_failures;
    std::string run_log_path;
    std::vector<std::pair<std::string, std::string>> result_folders;  // port, folder
    std::vector<std::pair<std::string, ATResult>> port_results;       // ports that ended
};

// What the session tells its front end. Called from the thread of the operation that causes
// it: the caller's thread for scans, run starts and script loads, worker threads for the
// scan's progress, a run and lost ports. An implementation hands work to its own thread and
// never waits for a thread that may be inside the session (the log calls it with its lock held).
class IRunView : public ILogSink {
public:
    // Port panel: one cell per port of the last scan, addressed by position.
    virtual void BuildPortPanel(const std::vector<std::string> &names) = 0;
    virtual void SetCellPicture(int cell, StatusPicture picture) = 0;
    virtual void SetCellBarColour(int cell, std::uint32_t colour) = 0;
    virtual void SetCellPosition(int cell, int position) = 0;
    virtual void SetCellLabel(int cell, const std::string &label) = 0;
    // Controls: everything but the run button, and the run button.
    virtual void SetControlsEnabled(bool enabled) = 0;
    virtual void SetRunEnabled(bool enabled) = 0;
    // Selects a row of the command list (0-based).
    virtual void SelectRow(int index) = 0;
    // Shown on the caller's thread of StartRun; blocks until answered.
    virtual MessageBoxAnswer ShowMessageBox(const std::string &text, const std::string &caption,
                                            MessageBoxIcon icon, MessageBoxButtons buttons) = 0;

    // The scan's wait window, from the scan's progress thread.
    virtual void ScanWaitOpen() {}
    virtual void ScanWaitProgress(int /*percent*/) {}
    virtual void ScanWaitClose() {}

    // Events for front ends that report more than the window shows.
    // The writers found, with the device path behind each port name.
    virtual void OnScanResult(const std::vector<std::string> & /*ports*/,
                              const std::vector<std::string> & /*devices*/) {}
    virtual void OnStep(const StepEvent & /*step*/) {}
    virtual void OnPortEnd(const std::string & /*port*/, ATResult /*result*/) {}
    virtual void OnLoadProgress(std::uint32_t /*total*/, std::uint32_t /*sent*/) {}
    virtual void OnRunEnd(const RunSummary & /*summary*/) {}
    // A writer information record a command returned (also when nothing is printed).
    virtual void OnWriterInfoRecord(const std::string & /*port*/, const kvat_writer_info & /*info*/) {}
    // Text the engine writes for diagnosis only (folder clearing, image summaries, caught
    // exceptions): standard output in the program.
    virtual void ConsoleLine(const std::string &line);
};

struct SessionOptions {
    std::string program_dir;   // holds InfoFile/ and log/
    ScanOptions scan;          // explicit ports, sysfs root (debug mode comes with each scan)
    unsigned scan_linger_ms = 510;  // the wait window shows 100 % this long before closing
    bool run_log = true;             // off only to measure what the run log costs
    unsigned run_log_interval_ms = 100;  // the file is never further behind a step than this
};

class RunSession final : public ISerialPortApp {
public:
    RunSession(IRunView &view, SessionOptions options);
    // Stops a run still going and waits for its ports and for the scan's progress thread.
    ~RunSession() override;
    RunSession(const RunSession &) = delete;
    RunSession &operator=(const RunSession &) = delete;

    // ---- the main window's operations ----
    // Scans and rebuilds the port panel; blocks until the scan's wait window has closed too.
    // Returns the writers found.
    std::vector<std::string> Scan(bool any_port);
    // Closes every port (button "断开端口连接").
    void CloseAll();
    // The run button: checks the rows, makes the folders and starts the run. False when the
    // run did not start (empty list, a refused row, no folder and the user said no).
    bool StartRun(const std::vector<S_CmdParam> &commands);
    // Loads a script as the window's load button does, with its log lines; the list is
    // replaced only when the file is a script that could be opened. Returns the parser's code,
    // or -1 when the file could not be used (its text is logged, unless `quiet`).
    int LoadScript(const std::string &path, std::vector<S_CmdParam> &commands, bool quiet = false);
    // Asks every port to stop after its current command.
    void RequestStop();
    // Waits until no run thread is left; true when none is. A stopped run is then closed here.
    bool WaitIdle(unsigned timeout_ms);

    bool running() const { return running_.load(); }
    void set_print_info(bool on) { print_info_.store(on); }
    void set_cover_file(bool on) { cover_file_.store(on); }
    bool print_info() const { return print_info_.load(); }
    bool cover_file() const { return cover_file_.load(); }
    int writer_count() const;
    // The writers of the last scan, in scan order.
    std::vector<PortRecord> ports() const;
    std::vector<std::string> result_folders() const;
    std::string run_log_path() const;
    std::string result_root() const { return result_root_; }
    std::string log_root() const { return log_root_; }
    MessageLog &log() { return log_; }
    SerialPortApp &app() { return app_; }
    // The row checks alone, as StartRun runs them (message boxes and log lines included).
    bool CheckRows(const std::vector<S_CmdParam> &commands);

    // Printed blocks (shared with the tests).
    void PrintByteList(const std::uint8_t *bytes, std::size_t n, const std::string &port,
                       const char *label);
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
    void OnWriterInfo(std::string &port, kvat_writer_info *info) override;
    void OnWriterConfig(std::string &port, kvat_writer_config *config) override;
    void OnChipId(std::string &port, kvat_chip_id *id) override;
    void OnMemoryData(std::string &port, kvat_memory_block *block) override;
    void OnOptionBytes(std::string &port, kvat_option_bytes *bytes) override;
    void OnBroadcastResponse(std::string &port, kvat_broadcast_record *record) override;
    void OnProjectInfo(std::string &port, kvat_project_info_record *info) override;
    void OnOfflineStatus(std::string &port, OfflineStatus *status) override;
    void OnScriptError(std::string &message, int *row) override;

private:
    int CellOf(const std::string &port) const;  // -1 when the port has no cell
    std::string FolderOf(const std::string &port) const;  // "" when it has none
    void ResetPortCells();
    void RunFinished(bool stopped);  // with run_mutex_ held
    void ReturnToIdle();
    // A result or run-log write that failed: an error line (once per path and reason) and a
    // mark in the run's summary.
    void SaveFailed(const std::string &path, const std::string &reason);

    IRunView &view_;
    SessionOptions options_;
    std::string result_root_;
    std::string log_root_;
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

    // The scan's progress thread outlives the scan call by a moment.
    std::mutex scan_mutex_;
    std::condition_variable scan_done_;
    unsigned scan_threads_ = 0;

    // Last: its threads call back into the members above.
    SerialPortApp app_;
};

// Local time as YYYY-MM-DD_hh-mm-ss.
std::string RunTimeStamp(const std::tm &local);

}  // namespace kelvra::run
