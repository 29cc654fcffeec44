// kvat run: the program's run without windows. Loads a script, scans for writers, checks the
// rows, makes the result folders and the run log, and runs the list on every writer at once.
#include "cli/run_output.h"
#include "cli/verb.h"
#include "host/model/row_check.h"
#include "host/platform/platform.h"
#include "host/run/run_session.h"
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
#include <memory>
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
    "  3    the script, a row, a named writer or the scan refused the run before anything was sent\n"
    "  4    an internal error\n"
    "  5    every writer passed, but a result file, the run log or a unit record could not be saved\n"
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
#if KVAT_WITH_RECORDS
    RecordOptions records;
#endif
};

volatile std::sig_atomic_t g_interrupts = 0;

void on_interrupt(int) { g_interrupts = g_interrupts + 1; }

int run(const RunOptions &o) {
    RunOutput output({o.json, true, o.verbose});
    for (std::size_t i = 0; i < o.writers.size(); ++i) {
        if (std::count(o.writers.begin(), o.writers.end(), o.writers[i]) > 1) {
            output.Note("kvat run: --writer " + o.writers[i] + " is named twice");
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
    output.PrintUnitTable();
    if (!output.json_mode()) {
        if (!summary.run_log_path.empty() && std::filesystem::exists(summary.run_log_path)) {
            output.Note("run log: " + summary.run_log_path);
        }
        for (const auto &[port, folder] : summary.result_folders) {
            if (std::filesystem::is_directory(folder)) output.Note("results of " + port + ": " + folder);
        }
        for (const std::string &port : summary.stopped_ports) output.Note("stopped before its last command: " + port);
    }
    if (stopping || summary.stopped) return kExitInterrupted;
    if (!summary.ok) return kExitFailed;
    if (!summary.save_failures.empty()) {
        output.Note("kvat run: every writer passed, but " + std::to_string(summary.save_failures.size()) +
                    " result(s) could not be saved (exit 5)");
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
#if KVAT_WITH_RECORDS
    AddRecordOptions(*sub, o->records);
#endif
    sub->callback([o] { set_exit_code(run(*o)); });
}

const bool registered = register_verb("run", setup);

}  // namespace
}  // namespace kvat::cli
