// What a run session reports: one typed stream of events, delivered to every listener, and the
// one question it may ask its user. Plain types only: no protocol engine, channel or JSON.
//
// Order and threads. Events reach the listeners in the order the session emits them, on the
// thread of the operation that causes them, never two at once from one operation:
//   - the caller's thread: ScanFinished (after the scan), AllPortsClosed, RunStarting,
//     RunStarted, Idle (when a run did not start), LogLine and Diagnostic of those operations;
//   - the scan's progress thread: ScanProgress (Open, Progress..., Close);
//   - a channel's event thread: PortLost;
//   - a port's run thread: StepStarted, StepProgress, StepDone, PortEnded, LoadProgress, and
//     RunFinished after the last
//     port ended (or the caller of WaitIdle after a stop);
//   - LogLine events come with the message log's lock held, in the order of the log.
// A listener hands work to its own thread and never waits for a thread that may be inside
// the session.
#pragma once

#include "host/model/cmd_param.h"
#include "host/run/message_log.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace kelvra::run {

// 0 success, otherwise a result code or the writer's own code.
using ATResult = std::int32_t;

enum class StatusPicture { Connected, Disconnect, Failed, Succeed };

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

// ---- the events ----

// The scan's wait window: opened, its percentage, closed.
struct ScanProgress {
    enum class Phase { Open, Progress, Close } phase = Phase::Progress;
    int percent = 0;
};
// The writers that answered, in scan order (the cells of the panel).
struct ScanFinished {
    std::vector<PortRecord> ports;
};
// Every port was closed; `cells` is the number of cells of the last scan.
struct AllPortsClosed {
    int cells = 0;
};
// A run is being prepared: the cells of `ready` (not lost) start afresh, the controls go off.
struct RunStarting {
    std::vector<int> ready;
};
// The run went out to the writers: the ports with their result folders, the run log's path.
struct RunStarted {
    std::vector<PortRecord> ports;
    unsigned total_steps = 0;
    std::string run_log_path;
};
// The session is idle again without a run having run (it was refused, or asked and denied).
struct Idle {
    int writers = 0;
};
// A port's command is starting (a port's run thread).
struct StepStarted {
    std::string port;
    int cell = -1;
    unsigned step = 0;
    unsigned total = 0;
    std::string command;  // its option name, e.g. "-write"
};
// The bytes of the port's current write, read or verify so far (a port's run thread, at most
// every 100 ms per port and once at the transfer's end).
struct StepProgress {
    std::string port;
    int cell = -1;
    std::uint32_t done = 0;
    std::uint32_t size = 0;
    bool verifying = false;  // reading back what a write wrote
};
struct StepDone {
    std::string port;
    int cell = -1;  // -1: the port has no cell ("None port")
    unsigned step = 0;
    unsigned total = 0;
    S_CmdParam command{};
    std::string command_line;  // the command as a script line
    ATResult result = 0;
    std::string message;  // the result code's message text
    std::string detail;   // more on a failure, "" when there is nothing to add
    std::string writer_serial;  // of the port's writer, as the scan's probe gave it
    bool wrote = false;         // a "-write" that sent every chunk
    bool verified = false;      // ... whose range read back equal
    std::uint32_t verified_bytes = 0;
};
using StepEvent = StepDone;

struct PortLost {
    std::string port;
    int cell = -1;              // -1: it had no cell (lost during a scan, or after closing all)
    bool during_run = false;
    int writers_left = 0;       // writers still open once this loss is counted
};
// What a port's run did to its unit.
struct UnitFacts {
    std::string writer_serial;
    std::string chip_id;   // lower-case hex of the last chip ID read, "" when none was
    std::string started;   // UTC, ISO 8601 with milliseconds
    std::string ended;
    std::int64_t duration_ms = 0;
    std::uint64_t bytes_written = 0;
    std::uint64_t bytes_read = 0;   // by reading commands (not by verifying)
    bool verified = false;          // at least one write, and every write verified
    std::vector<std::string> image_sha256;  // of every image written, in order
    std::optional<std::uint64_t> unit_serial;  // the serial number the run wrote into the unit
};

struct PortEnded {
    std::string port;
    int cell = -1;
    ATResult result = 0;
    UnitFacts unit;
};
struct LoadProgress {
    std::string port;
    std::uint32_t total = 0;
    std::uint32_t sent = 0;
};
struct RunFinished {
    RunSummary summary;
    int writers = 0;  // writers still open
};
// A message-log line, or the live line (`live`) that the next live line replaces.
struct LogLine {
    LogEntry entry;
    bool live = false;
};
// Text for diagnosis only (folder clearing, image summaries, caught exceptions).
struct Diagnostic {
    std::string text;   // one line, or the lines of an image summary
    std::string image;  // the image an image reader's summary is about, else ""
};

using RunEvent = std::variant<ScanProgress, ScanFinished, AllPortsClosed, RunStarting, RunStarted, Idle, StepStarted,
                              StepProgress, StepDone, PortLost, PortEnded, LoadProgress, RunFinished, LogLine,
                              Diagnostic>;

class IRunListener {
public:
    virtual ~IRunListener() = default;
    virtual void OnEvent(const RunEvent &event) = 0;
};

// ---- the one question ----

enum class MessageBoxIcon { Error, Question };
enum class MessageBoxButtons { Ok, YesNo };
enum class MessageBoxAnswer { Ok, Yes, No };

struct Question {
    std::string text;
    std::string caption;
    MessageBoxIcon icon = MessageBoxIcon::Error;
    MessageBoxButtons buttons = MessageBoxButtons::Ok;
    int row = -1;  // the command-list row it is about (0-based), to select first; -1: none
};

// A front end: listens to the events and answers the session's questions (on the caller's
// thread of StartRun; the call blocks until answered).
class IRunView : public IRunListener {
public:
    virtual MessageBoxAnswer Ask(const Question &question) = 0;
};

}  // namespace kelvra::run
