// kvat run: the program's run without windows. Loads a script, scans for writers, checks the
// rows, makes the result folders and the run log, and runs the list on every writer at once.
#include "cli/run_output.h"
#include "cli/verb.h"
#include "host/model/at_command.h"
#include "host/model/row_check.h"
#include "host/platform/platform.h"
#include "host/run/run_session.h"
#include "host/run/unit_serial.h"
#if KVAT_WITH_SIM
#include "sim/pty_writer.h"
#endif
#if KVAT_WITH_RECORDS
#include "cli/run_records.h"
#endif

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvat::cli {
namespace {

constexpr int kExitNotSaved = 5;
constexpr int kExitInterrupted = 130;

constexpr const char *kExitTable =
    "Exit status:\n"
    "  0    every writer ran the whole list and every result was saved\n"
    "  1    a writer failed a step (programming, or verify: code 1000)\n"
    "  2    wrong arguments\n"
    "  3    the script, a row, a named writer, the serial file or the scan refused the run before\n"
    "       anything was sent\n"
    "  4    an internal error\n"
    "  5    every writer passed, but a result file, the run log, the serial file or a unit record could not\n"
    "       be saved\n"
    "  130  stopped (Ctrl+C or SIGTERM)";

struct RunOptions {
    std::string script;
    std::vector<std::string> ports;
    bool any_port = false;
    int baud = kelvra::run::kDefaultAtBaudRate;
    std::size_t simulate = 0;
    std::string out = ".";
    bool no_cover_file = false;
    bool print_info = false;
    bool json = false;
    bool no_verify = false;
    bool verbose = false;
    std::vector<std::string> writers;  // serial numbers to run on; empty: every writer
    // Serial numbers written into the units ("" when not given).
    std::string serial_start;
    std::string serial_addr;
    std::string serial_format = "u32le";
    std::string serial_file;
#if KVAT_WITH_RECORDS
    RecordOptions records;
#endif
};

// A whole number in decimal or 0x hexadecimal, nothing else.
std::optional<std::uint64_t> parse_number(const std::string &text) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return std::nullopt;
    errno = 0;
    char *end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0') return std::nullopt;
    return static_cast<std::uint64_t>(value);
}

// Spends the number of a unit that passed and gives back the number of one that did not, as
// each port ends.
class SerialSpender final : public kelvra::run::IRunListener {
public:
    SerialSpender(kelvra::run::SerialNumberFile &file, RunOutput &output) : file_(file), output_(output) {}
    void OnEvent(const kelvra::run::RunEvent &event) override {
        const auto *end = std::get_if<kelvra::run::PortEnded>(&event);
        if (end == nullptr || !end->unit.unit_serial) return;
        std::lock_guard<std::mutex> lock(mutex_);
        try {
            if (end->result == 0) {
                file_.Spend(*end->unit.unit_serial);
            } else {
                file_.GiveBack(*end->unit.unit_serial);
            }
        } catch (const kelvra::run::SerialFileError &e) {
            output_.Note(std::string("kvat run: ") + e.what());
            failed_ = true;
        }
    }
    bool failed() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return failed_;
    }

private:
    kelvra::run::SerialNumberFile &file_;
    RunOutput &output_;
    mutable std::mutex mutex_;
    bool failed_ = false;
};

volatile std::sig_atomic_t g_interrupts = 0;

void on_interrupt(int) { g_interrupts = g_interrupts + 1; }

int run(const RunOptions &o) {
    // Lets the tests see that an unexpected error ends as exit 4.
    if (std::getenv("KVAT_TEST_INTERNAL_ERROR") != nullptr) throw std::logic_error("KVAT_TEST_INTERNAL_ERROR is set");
    RunOutput output({o.json, true, o.verbose});
    for (std::size_t i = 0; i < o.writers.size(); ++i) {
        if (std::count(o.writers.begin(), o.writers.end(), o.writers[i]) > 1) {
            output.Note("kvat run: --writer " + o.writers[i] + " is named twice");
            return kExitUsage;
        }
    }

    // Serial numbers: every argument is checked before any file or writer is touched.
    const bool serials = !o.serial_addr.empty() || !o.serial_start.empty() || !o.serial_file.empty();
    std::optional<std::uint64_t> serial_start;
    std::uint32_t serial_addr = 0;
    kelvra::run::SerialFormat serial_format;
    if (serials) {
        if (o.serial_addr.empty()) {
            output.Note("kvat run: --serial-start and --serial-file need --serial-addr");
            return kExitUsage;
        }
        const auto addr = parse_number(o.serial_addr);
        if (!addr || *addr > 0xFFFFFFFFu) {
            output.Note("kvat run: --serial-addr " + o.serial_addr + " is not an address (a number up to 0xFFFFFFFF)");
            return kExitUsage;
        }
        serial_addr = static_cast<std::uint32_t>(*addr);
        if (!o.serial_start.empty()) {
            serial_start = parse_number(o.serial_start);
            if (!serial_start) {
                output.Note("kvat run: --serial-start " + o.serial_start + " is not a whole number");
                return kExitUsage;
            }
        }
        std::string error;
        const auto format = kelvra::run::ParseSerialFormat(o.serial_format, error);
        if (!format) {
            output.Note("kvat run: --serial-format: " + error);
            return kExitUsage;
        }
        serial_format = *format;
        std::vector<std::uint8_t> bytes;
        if (serial_start && !kelvra::run::EncodeSerial(serial_format, *serial_start, bytes, error)) {
            output.Note("kvat run: --serial-start: " + error);
            return kExitUsage;
        }
        if (std::uint64_t{serial_addr} + serial_format.width > 0x100000000ull) {
            output.Note("kvat run: the serial number at --serial-addr " + o.serial_addr + " runs past the 4 GiB address space");
            return kExitUsage;
        }
    }

    std::vector<std::string> ports = o.ports;
#if KVAT_WITH_SIM
    std::unique_ptr<kelvra::sim::TemporaryWriterPool> simulation;
    if (o.simulate > 0) {
        kelvra::sim::VirtualWriterPool::Options options;
        options.count = o.simulate;
        try {
            simulation = std::make_unique<kelvra::sim::TemporaryWriterPool>(options, "kvat-run");
        } catch (const std::exception &e) {
            output.Note(std::string("kvat run: ") + e.what());
            return kExitInput;
        }
        for (const std::string &link : simulation->link_paths()) ports.push_back(link);
    }
#endif

    kelvra::run::SessionOptions options;
    options.program_dir = o.out;
    options.scan.explicit_ports = ports;
    options.scan.writer_serials = o.writers;
    options.scan_linger_ms = 0;
    options.verify = !o.no_verify;
#if KVAT_WITH_RECORDS
    RunRecords records;  // outlives the session, which reports to it until it ends
#endif
    kelvra::run::RunSession session(output, options);
    session.set_at_baud_rate(o.baud);
    session.set_cover_file(!o.no_cover_file);
    session.set_print_info(o.print_info);

    std::vector<kelvra::S_CmdParam> commands;
    const int loaded = session.LoadScript(o.script, commands);
    if (loaded != 0) return kExitInput;
    // Refused rows stop the run before any writer is touched.
    if (!session.CheckRows(commands)) return kExitInput;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const std::string warning = kelvra::ImageStartWarning(commands[i]);
        if (!warning.empty()) output.Note("row " + std::to_string(i + 1) + ": warning: " + warning);
    }

    std::unique_ptr<kelvra::run::SerialNumberFile> serial_file;
    std::unique_ptr<SerialSpender> spender;
    if (serials) {
        if (std::none_of(commands.begin(), commands.end(),
                         [](const kelvra::S_CmdParam &c) { return c.command == kelvra::ATCmdWriteTargetMemory; })) {
            output.Note("kvat run: the script has no -write to carry the serial number");
            return kExitInput;
        }
        const std::string path = o.serial_file.empty()
                                     ? (std::filesystem::path(o.out) / "log" / "serial.json").string()
                                     : o.serial_file;
        try {
            std::string warning;
            serial_file = std::make_unique<kelvra::run::SerialNumberFile>(path, serial_start, warning);
            if (!warning.empty()) output.Note("kvat run: warning: " + warning);
        } catch (const kelvra::run::SerialFileError &e) {
            output.Note(std::string("kvat run: ") + e.what());
            return kExitInput;
        }
        spender = std::make_unique<SerialSpender>(*serial_file, output);
        session.AddListener(*spender);
    }

#if KVAT_WITH_RECORDS
    if (const int refused = records.Start(o.records, o.out, o.script, session, output); refused != 0) return refused;
#endif

    kelvra::platform::OnInterrupt(on_interrupt);
    // A closed output (| head) must not kill the run half-way: the writes fail instead, and
    // the run and its log go on.
    kelvra::platform::IgnoreBrokenPipe();

    const std::vector<std::string> names = session.Scan(o.any_port);
    // Every writer asked for by its serial number must be there before anything is sent.
    for (const std::string &serial : o.writers) {
        const auto found = session.ports();
        if (std::none_of(found.begin(), found.end(),
                         [&](const kelvra::run::PortRecord &port) { return port.writer.serial_number == serial; })) {
            output.Note("kvat run: no writer with serial number " + serial + " answered the scan");
            return kExitInput;
        }
    }
    if (names.empty()) return kExitInput;
    if (g_interrupts > 0) return kExitInterrupted;

    if (serial_file) {
        // One number per writer that answered, in scan order; all of them fit, or none is sent.
        const std::vector<kelvra::run::PortRecord> found = session.ports();
        std::map<std::string, kelvra::run::UnitSerial> units;
        try {
            const std::vector<std::uint64_t> numbers = serial_file->Take(found.size());
            for (std::size_t i = 0; i < found.size(); ++i) {
                kelvra::run::UnitSerial unit{numbers[i], serial_addr, {}};
                std::string error;
                if (!kelvra::run::EncodeSerial(serial_format, numbers[i], unit.bytes, error)) {
                    output.Note("kvat run: " + error + " (--serial-format " + o.serial_format + ")");
                    serial_file->GiveBackAll();
                    return kExitInput;
                }
                units.emplace(found[i].name, std::move(unit));
            }
        } catch (const kelvra::run::SerialFileError &e) {
            output.Note(std::string("kvat run: ") + e.what());
            return kExitInput;
        }
        session.set_unit_serials(std::move(units));
    }

    if (!session.StartRun(commands)) return kExitInput;
    bool stopping = false;
    while (!session.WaitIdle(100)) {
        if (g_interrupts > 0 && !stopping) {
            stopping = true;
            output.Note("kvat run: stopping after the current command of every port (Ctrl+C again to quit now)");
            session.RequestStop();
        }
        if (g_interrupts > 1) {
            // The run log on disk is whole: it is replaced, never rewritten in place.
            output.Note("kvat run: quit before the ports ended");
#if KVAT_WITH_SIM
            if (simulation) {
                std::error_code ignored;
                std::filesystem::remove_all(simulation->dir(), ignored);
            }
#endif
            std::_Exit(kExitInterrupted);
        }
    }
#if KVAT_WITH_RECORDS
    const bool recorded = records.Finish(output);
#else
    const bool recorded = true;
#endif
    const kelvra::run::RunSummary summary = output.summary();
    bool serials_kept = true;
    if (serial_file) {
        // Stopped and lost units never reached their end: their numbers go back too.
        try {
            serial_file->GiveBackAll();
        } catch (const kelvra::run::SerialFileError &e) {
            output.Note(std::string("kvat run: ") + e.what());
            serials_kept = false;
        }
        serials_kept = serials_kept && !spender->failed();
    }
    if (!output.json_mode()) {
        if (!summary.run_log_path.empty() && std::filesystem::exists(summary.run_log_path)) {
            output.Note("run log: " + summary.run_log_path);
        }
        for (const auto &[port, folder] : summary.result_folders) {
            if (std::filesystem::is_directory(folder)) output.Note("results of " + port + ": " + folder);
        }
        for (const std::string &port : summary.stopped_ports) output.Note("stopped before its last command: " + port);
    }
    output.PrintUnitTable();
    if (stopping || summary.stopped) return kExitInterrupted;
    if (!summary.ok) return kExitFailed;
    if (!summary.save_failures.empty()) {
        output.Note("kvat run: every writer passed, but " + std::to_string(summary.save_failures.size()) +
                    " result(s) could not be saved (exit 5)");
        return kExitNotSaved;
    }
    if (!serials_kept) {
        output.Note("kvat run: every writer passed, but the serial file could not be updated (exit 5)");
        return kExitNotSaved;
    }
    if (!recorded) {
        output.Note("kvat run: every writer passed, but a unit record could not be stored (exit 5)");
        return kExitNotSaved;
    }
    return kExitOk;
}

void setup(CLI::App &app) {
    auto o = std::make_shared<RunOptions>();
    CLI::App *sub = app.add_subcommand("run", "Run a script on every writer at once, as the program does");
    sub->footer(kExitTable);
    sub->add_option("script", o->script, "Script file (.kvatscript)")->required();
    sub->add_option("--port", o->ports, "Also scan this device (e.g. a virtual writer's link)");
    sub->add_flag("--any-port", o->any_port, "Debug mode: every serial port is a candidate");
    sub->add_option("--baud", o->baud, "AT baud rate to open the ports with")->capture_default_str()
        ->check(CLI::Range(1, 4000000));
#if KVAT_WITH_SIM
    sub->add_option("--simulate", o->simulate, "Start this many virtual writers and run on them")
        ->check(CLI::Range(1, 24));
#endif
    sub->add_option("--out", o->out, "Folder for InfoFile/ and log/")->capture_default_str();
    sub->add_flag("--no-cover-file", o->no_cover_file, "A new result folder per run (<port>-<time>)");
    sub->add_flag("--print-info", o->print_info, "Print what reading commands return");
    sub->add_flag("--json", o->json, "JSON Lines: one object per event on standard output");
    sub->add_flag("--verbose", o->verbose, "Also print the image reader's summary of each image (once per run)");
    sub->add_option("--writer", o->writers, "Run only on the writer with this serial number (repeatable)");
    sub->add_flag("--no-verify", o->no_verify,
                  "Do not read back what each -write wrote (by default every byte is compared)");
    sub->add_option("--serial-addr", o->serial_addr,
                    "Write a serial number into each unit at this address (e.g. 0x0800FC00)");
    sub->add_option("--serial-start", o->serial_start, "The first serial number of a new serial file");
    sub->add_option("--serial-format", o->serial_format, "u32le, u32be or ascii:WIDTH (zero-padded digits)")
        ->capture_default_str();
    sub->add_option("--serial-file", o->serial_file,
                    "The file that hands out the numbers (default: OUT/log/serial.json)");
#if KVAT_WITH_RECORDS
    AddRecordOptions(*sub, o->records);
#endif
    sub->callback([o] { set_exit_code(run(*o)); });
}

const bool registered = register_verb("run", setup);

}  // namespace
}  // namespace kvat::cli
