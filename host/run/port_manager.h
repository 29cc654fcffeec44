// The port manager: 24 port slots, each a serial channel and a protocol object. It finds and
// opens the writers, feeds what each channel receives into its port's protocol object, writes
// the frames the core builds to the right channel, runs a command list on every open writer at
// once (one thread per port) and turns each command record into protocol transactions. All it
// has to say goes through one observer, ISerialPortApp.
#pragma once

#include "core/kelvra_at_api.h"
#include "host/model/cmd_param.h"
#include "host/run/run_events.h"
#include "host/run/scan_options.h"
#include "host/run/unit_serial.h"
#include "host/script/cli_parse.h"
#include "host/serial/port_discovery.h"
#include "host/serial/serial_port.h"

#include <kelvra_at_records.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kelvra::run {

inline constexpr std::size_t kPortSlots = 24;
inline constexpr const char *kNoPortName = "None port";


// A step cut short by a stop request: neither succeeded nor failed, and never reported as a step.
inline constexpr ATResult kStepStopped = -1;

// Time-outs of the program's own transactions (a command's `timeout` serves where it has one).
inline constexpr std::uint32_t kProbeTimeoutMs = 100;     // writer information, also in the scan
inline constexpr std::uint32_t kCommandTimeoutMs = 5000;  // every other request, write chunks too
inline constexpr std::uint32_t kSwitchTimeoutMs = 15000;  // project switch

// How one transaction ended. Only `Answer` (the expected answer) is success.
enum class TxOutcome {
    Answer,
    OtherAnswer,  // a frame of another kind (a bare ACK where data was expected), or a record
                  // that does not match its request: 39
    Refused,      // a NACK with the writer's code, or a refusal before sending (37, 46, ...)
    TimedOut,     // 13
    WriteFailed,  // 38
    PortLost,     // 38: the port went away during the command
};
struct TxResult {
    TxOutcome outcome;
    ATResult code;  // 0 exactly for Answer
};
// The outcome of the transaction that just ended on `object`; `delivered` is what the core's
// operation reported.
TxResult ClassifyTransaction(const kelvra_at_object *object, bool delivered, bool port_lost);

struct OpenPort {
    std::string name;
    std::int32_t index;  // port slot
};

// What one step did beyond its result, for the unit's record.
struct StepFacts {
    bool wrote = false;               // a "-write" whose chunks were all acknowledged
    bool verified = false;            // ... and read back equal, every byte
    std::uint32_t verified_bytes = 0;
    std::uint32_t bytes_written = 0;
    std::string image_sha256;         // of the image bytes written
};

// A writer that answered the scan's probe, with what the probe returned.
struct ScannedWriter {
    std::string name;
    std::int32_t slot = -1;
    std::string device;
    kvat_writer_info info{};  // zeros where the answer carried less than the record
};

// Offline status of one poll: 0 finished, 1 running (two words from the writer), -1 other.
struct OfflineStatus {
    std::int32_t state;
    std::uint32_t value1;
    std::uint32_t value2;
};

// Observer of the port manager. Called mostly from worker threads: the scan's progress thread,
// the channels' event threads and the ports' run threads (see each operation).
class ISerialPortApp {
public:
    virtual ~ISerialPortApp() = default;
    // Scan progress thread; must return only after `finished` became true.
    virtual void OnScanProgress(const std::atomic<unsigned> *count,
                                const std::atomic<unsigned> *current,
                                const std::atomic<bool> *finished) = 0;
    // CloseAll(true), on the caller's thread.
    virtual void OnAllPortsClosed() = 0;
    // A channel's event thread, after its lost port was closed and removed.
    virtual void OnPortRemoved(std::string &port) = 0;
    // A channel's event thread, after every non-empty read.
    virtual void OnDataReceived(std::string &port, const char *bytes, int *count) = 0;
    // A port's run thread, after each command; `step` counts from 1.
    virtual void OnStepDone(std::string &port, unsigned *step, S_CmdParam *command,
                            ATResult *result) = 0;
    // A port's run thread, before each command; `step` counts from 1.
    virtual void OnStepStarted(std::string & /*port*/, unsigned /*step*/, const S_CmdParam & /*command*/) {}
    // A port's run thread, during a write, a read or a verify: `done` of `size` bytes, at most
    // every 100 ms and once at the end.
    virtual void OnTransfer(std::string & /*port*/, std::uint32_t /*done*/, std::uint32_t /*size*/, bool /*verifying*/) {}
    // A port's run thread, after its last command.
    virtual void OnPortDone(std::string &port, ATResult *result) = 0;
    // A run thread during a project load, after each data frame: {total bytes, bytes sent}.
    virtual void OnLoadProgress(const std::uint32_t *total_sent) = 0;
    // Results, on the port's run thread. Records marked "in the frame" are valid only during
    // the call.
    virtual void OnWriterInfo(std::string &port, kvat_writer_info *info) = 0;                // copy
    virtual void OnWriterConfig(std::string &port, kvat_writer_config *config) = 0;          // copy
    virtual void OnChipId(std::string &port, kvat_chip_id *id) = 0;                          // copy
    virtual void OnMemoryData(std::string &port, kvat_memory_block *block) = 0;              // in the frame
    virtual void OnOptionBytes(std::string &port, kvat_option_bytes *bytes) = 0;             // in the frame
    virtual void OnBroadcastResponse(std::string &port, kvat_broadcast_record *record) = 0;  // per chunk
    virtual void OnProjectInfo(std::string &port, kvat_project_info_record *info) = 0;       // in the frame
    virtual void OnOfflineStatus(std::string &port, OfflineStatus *status) = 0;              // per poll
    // LoadScript, when loading stops at a line.
    virtual void OnScriptError(std::string &message, int *row) = 0;
};

class SerialPortApp {
public:
    explicit SerialPortApp(ISerialPortApp *observer);
    // Closes every port and waits for the run threads still going.
    ~SerialPortApp();
    SerialPortApp(const SerialPortApp &) = delete;
    SerialPortApp &operator=(const SerialPortApp &) = delete;

    // Closes every open port, opens the writer candidates (never more than 24) and keeps those
    // whose writer answers a 100 ms writer-information probe. Returns their port names in scan
    // order. On the caller's thread; blocks. `warning`, when not null, receives a line when
    // candidates had to be left out.
    std::vector<std::string> ScanAndOpen(const ScanOptions &options, int baud_rate,
                                         std::string *warning = nullptr);
    // The same scan, returning each writer that answered with its slot, device and identity.
    // Each port that could not be opened, and the candidates left out, give a warning line.
    std::vector<ScannedWriter> ScanWriters(const ScanOptions &options, int baud_rate,
                                           std::vector<std::string> *warnings = nullptr);
    std::vector<std::string> ScanAndOpen(bool any_port, int baud_rate);

    // Waits for the last scan's progress thread (its display closed). Every scan's thread is
    // joined: by the next scan, by this call or by the destructor.
    void JoinScanProgress();

    // Closes every open port and empties the port list; with `notify`, then OnAllPortsClosed.
    void CloseAll(bool notify);

    // Starts one thread per open port running `commands`, and returns at once with
    // the number of threads started. With no open port, reports "None port" with result 38 at
    // once, on this thread, and returns 0.
    std::size_t RunAll(const std::vector<S_CmdParam> *commands);

    // Executes one command on one port: 0, the failure's result code, or kStepStopped for a
    // sleep cut short by a stop request.
    ATResult Execute(kelvra_at_object *object, const S_CmdParam *command, const std::int32_t *slot);
    // The protocol object of a port slot (null for a slot out of range).
    kelvra_at_object *protocol_object(std::int32_t slot);

    // Loads a script through the parser; a stopping line is reported with OnScriptError.
    // Throws script::script_file_error when the file cannot be opened or is no script file.
    int LoadScript(const std::string &path, std::vector<S_CmdParam> &commands,
                   std::vector<std::string> &messages);

    // Where diagnostics go (caught exceptions, image summaries), one line per call; standard
    // output when unset. Set it before the first scan.
    void SetConsole(std::function<void(const std::string &)> console);
    // Where the image reader's summary of an image goes, whole, with the image's path; the
    // console when unset. Set it before the first run.
    void SetImageSummary(std::function<void(const std::string &image, const std::string &line)> summary) {
        image_summary_ = std::move(summary);
    }

    // Asks every port's run to end after its current command (no further command starts; the
    // stopped ports report no end). Cleared by the next RunAll.
    void RequestStop();
    // Waits until no run thread is left, at most `timeout_ms`; true when none is left, and
    // then every run thread has been joined.
    bool WaitForRuns(unsigned timeout_ms);
    bool Running() const;
    // Why the slot's last command failed, beyond its result code ("" when there is nothing to
    // add), e.g. the conversion error of a configuration document. Read it on that port's run
    // thread, as the step report does.
    std::string FailureDetail(std::int32_t slot) const;
    // FailureDetail of the slot whose run thread calls it ("" on any other thread): what the
    // step report uses, since a lost port's slot can no longer be found by its name.
    std::string StepDetail() const;
    // StepFacts of the step just executed on the calling run thread (empty on any other).
    StepFacts RunStepFacts() const;
    // Verify after write: every "-write" reads its range back and compares it.
    void set_verify(bool on) { verify_.store(on); }
    bool verify() const { return verify_.load(); }
    // The serial number the slot's unit gets on the next run: its bytes replace the image's in
    // every "-write" whose image covers them, or, when none did, are written (and verified)
    // after the list's last "-write". Set before RunAll.
    void set_unit_serial(std::int32_t slot, std::optional<UnitSerial> serial);
    // The port name of the slot whose run thread calls it ("" on any other thread).
    std::string RunPortName() const;

    int at_baud_rate() const { return at_baud_rate_.load(); }
    void set_at_baud_rate(int baud) { at_baud_rate_.store(baud); }
    std::vector<OpenPort> open_ports() const;
    // The rate a slot's channel is set to open with (or runs at).
    int ChannelBaudRate(std::int32_t slot) const;
    // The device path behind an open port's name, "" when it is not open.
    std::string DevicePath(const std::string &port_name) const;
    script::cli_parse &parser() { return parser_; }

    // The write function installed in every protocol object.
    static bool WritePort(std::uint8_t *frame, std::uint32_t slot, std::uint32_t timeout_ms);

    // For tests and fuzzing: when set (before the first command), every request frame goes to
    // `hook` instead of the slot's channel; the hook may feed the answer into the slot's
    // protocol object before it returns.
    using WriteHook = std::function<bool(std::int32_t slot, const std::uint8_t *frame, std::uint32_t length)>;
    void SetWriteHook(WriteHook hook) { write_hook_ = std::move(hook); }

    // The `index` of the first entry named `name`, or -1.
    static std::int32_t FindPortIndex(const std::string &name, const std::vector<OpenPort> &ports);

    // The whole file read in binary mode, and its size; null with size 1 when it cannot be
    // opened. Null with size 0 for a file too large for a 32-bit size.
    static std::unique_ptr<std::uint8_t[]> ReadWholeFile(const std::string &path, std::uint32_t *size);

private:
    void OnDataReady(std::string &port);
    void OnChannelLost(std::string &port);
    void PortRun(std::int32_t slot, std::shared_ptr<const std::vector<S_CmdParam>> commands);
    std::string PortNameOfSlot(std::int32_t slot) const;
    void Console(const std::string &text) const;
    void ImageSummary(const std::string &image, const std::string &text) const;
    bool StartObject(std::int32_t slot);
    ATResult Broadcast(std::int32_t slot, const S_CmdParam &command, std::string &name);
    ATResult LoadProject(std::int32_t slot, const S_CmdParam &command);
    ATResult SwitchProject(std::int32_t slot, const S_CmdParam &command);
    TxResult WriterInfoCheck(std::int32_t slot, std::string &type);
    TxResult Outcome(std::int32_t slot, bool delivered);
    TxResult UnansweredBroadcast(std::int32_t slot);
    TxResult BadRecord(std::int32_t slot, const std::string &why);
    template <typename Record>
    ATResult CopyRecord(std::int32_t slot, const std::uint8_t *record, Record &out, const char *short_text);
    void NoteDetail(std::int32_t slot, const std::string &text);
    bool PortLostFlag(std::int32_t slot) const;

    // The write function finds its manager from the protocol object: the objects come first in
    // a standard-layout record that ends with the owner.
    struct Slots {
        kelvra_at_object objects[kPortSlots];
        SerialPortApp *owner;
    };

    std::atomic<int> at_baud_rate_{kDefaultAtBaudRate};
    std::unique_ptr<Slots> slots_;
    std::array<serial::CSerialPort, kPortSlots> channels_;
    // Read by event and run threads, changed by the scan and by a lost port.
    mutable std::mutex ports_mutex_;
    std::vector<OpenPort> open_ports_;
    ISerialPortApp *observer_;
    script::cli_parse parser_;

    std::function<void(const std::string &)> console_;
    WriteHook write_hook_;
    std::function<void(const std::string &, const std::string &)> image_summary_;
    std::array<std::string, kPortSlots> failure_details_;
    std::array<StepFacts, kPortSlots> step_facts_;
    std::atomic<bool> verify_{false};
    ATResult Verify(std::int32_t slot, std::uint32_t address, const std::uint8_t *expected, std::uint32_t size);
    // Reports a transfer's progress, at most every 100 ms per slot and always at its end.
    void Transfer(std::int32_t slot, std::uint32_t done, std::uint32_t size, bool verifying);
    std::array<std::int64_t, kPortSlots> transfer_reported_ms_{};
    std::array<std::optional<UnitSerial>, kPortSlots> unit_serials_;
    std::array<bool, kPortSlots> serial_written_{};  // by a "-write" of this run
    // Puts the slot's serial number into `image` (loaded at `address`) when it covers it.
    ATResult PatchSerial(std::int32_t slot, std::uint32_t address, std::vector<std::uint8_t> &image);
    // The serial number as a write of its own, when no "-write" carried it.
    ATResult WriteSerial(std::int32_t slot);
    // Set by the port-lost path, cleared when the slot is opened again.
    std::array<std::atomic<bool>, kPortSlots> lost_{};
    std::atomic<bool> stop_{false};
    mutable std::mutex runs_mutex_;
    std::condition_variable runs_done_;
    unsigned runs_ = 0;
    std::vector<std::thread> run_threads_;  // joined once they all ended
    std::thread progress_thread_;           // the last scan's progress display
    void JoinEndedRuns();  // with runs_ == 0

};

// Text in the system's multibyte code page (UTF-8 here) as UTF-8 in a 255-byte buffer:
// at most 255 characters, cut on a character boundary so that the text and its zero fit.
// Bytes that are not UTF-8 become U+FFFD. Never writes past `out`.
void AnsiToUtf8(const char *text, char (&out)[255]);

}  // namespace kelvra::run
