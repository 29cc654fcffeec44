// The run as the main window drives it, free of any toolkit: the scan with its progress, the
// check of the command list, result folders and the run log, the step and port reports, lost
// ports, the result files with their printed blocks, and script loading. The session decides
// and reports what happens as one typed stream of events (run_events.h) to its front end and
// to any further listener; the front end also answers its one question. This header is the
// front ends' only door to the engine: it shows no protocol engine, channel or JSON type.
#pragma once

#include "host/model/cmd_param.h"
#include "host/run/message_log.h"
#include "host/run/run_events.h"
#include "host/run/scan_options.h"
#include "host/run/unit_serial.h"

#include <kelvra_at_records.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kelvra::run {

class SerialPortApp;

struct SessionOptions {
    std::string program_dir;   // holds InfoFile/ and log/
    ScanOptions scan;          // explicit ports, sysfs root (debug mode comes with each scan)
    unsigned scan_linger_ms = 510;  // the wait window shows 100 % this long before closing
    bool run_log = true;             // off only to measure what the run log costs
    bool verify = false;             // every "-write" reads its range back and compares it
    unsigned run_log_interval_ms = 100;  // the file is never further behind a step than this
};

class RunSession final {
public:
    RunSession(IRunView &view, SessionOptions options);
    // Stops a run still going and waits for its ports and for the scan's progress thread.
    ~RunSession();
    RunSession(const RunSession &) = delete;
    RunSession &operator=(const RunSession &) = delete;

    // Another listener for every event from now on; call before the first scan.
    void AddListener(IRunListener &listener);

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
    // Writes the list as a script file (the export button); false when it cannot be written.
    bool SaveScript(const std::string &path, const std::vector<S_CmdParam> &commands);
    // The command as a script line.
    std::string CommandLine(const S_CmdParam &command) const;
    // The serial number each port's unit gets on the next run (by port name); the ports not
    // named get none.
    void set_unit_serials(std::map<std::string, UnitSerial> serials);
    // Asks every port to stop after its current command.
    void RequestStop();
    // Waits until no run thread is left; true when none is. A stopped run is then closed here.
    bool WaitIdle(unsigned timeout_ms);

    bool running() const;
    void set_print_info(bool on);
    void set_cover_file(bool on);
    bool print_info() const;
    bool cover_file() const;
    // The baud rate the next scan opens the ports with.
    int at_baud_rate() const;
    void set_at_baud_rate(int baud);
    int writer_count() const;
    // The writers of the last scan, in scan order.
    std::vector<PortRecord> ports() const;
    std::vector<std::string> result_folders() const;
    std::string run_log_path() const;
    std::string result_root() const;
    std::string log_root() const;
    MessageLog &log();
    // The row checks alone, as StartRun runs them (questions and log lines included).
    bool CheckRows(const std::vector<S_CmdParam> &commands);

    // ---- for tests: the engine behind the door ----
    SerialPortApp &app();
    // Printed blocks, and records as a run thread reports them.
    void PrintByteList(const std::uint8_t *bytes, std::size_t n, const std::string &port, const char *label);
    void PrintHexDump(const std::uint8_t *bytes, std::uint32_t address, std::size_t n);
    void OnChipId(std::string &port, kvat_chip_id *id);
    void OnMemoryData(std::string &port, kvat_memory_block *block);
    void OnOptionBytes(std::string &port, kvat_option_bytes *bytes);
    void OnBroadcastResponse(std::string &port, kvat_broadcast_record *record);
    void OnWriterInfo(std::string &port, kvat_writer_info *info);
    void OnWriterConfig(std::string &port, kvat_writer_config *config);
    void OnProjectInfo(std::string &port, kvat_project_info_record *info);
    void OnPortRemoved(std::string &port);

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Local time as YYYY-MM-DD_hh-mm-ss.
std::string RunTimeStamp(const std::tm &local);

}  // namespace kelvra::run
