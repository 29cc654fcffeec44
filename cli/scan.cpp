// kvat scan: scans exactly as the program does and lists the writers that answered, each with
// its writer information.
#include "cli/run_output.h"
#include "cli/verb.h"
#include "host/model/at_command.h"
#include "host/run/null_view.h"
#include "host/run/run_session.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kvat::cli {
namespace {

struct ScanVerbOptions {
    std::vector<std::string> ports;
    bool any_port = false;
    int baud = kelvra::run::kDefaultAtBaudRate;
    bool json = false;
};

struct Writer {
    std::string port;
    std::string device;
    bool answered = false;
    kvat_writer_info info{};
};

template <std::size_t N>
std::string text(const char (&field)[N]) {
    return std::string(field, std::find(field, field + N, '\0'));
}

// Captures the writer information the session hands out, and renders like a run otherwise.
class ScanOutput final : public kelvra::run::NullRunView {
public:
    explicit ScanOutput(RunOutput &inner) : inner_(inner) {}
    void AppendLine(const kelvra::run::LogEntry &e) override { inner_.AppendLine(e); }
    void ReplaceLiveLine(const kelvra::run::LogEntry &e) override { inner_.ReplaceLiveLine(e); }
    void ConsoleLine(const std::string &line) override { inner_.ConsoleLine(line); }
    void OnWriterInfoRecord(const std::string &port, const kvat_writer_info &info) override {
        std::lock_guard<std::mutex> lock(mutex_);
        infos_.emplace_back(port, info);
    }
    std::vector<std::pair<std::string, kvat_writer_info>> infos() {
        std::lock_guard<std::mutex> lock(mutex_);
        return infos_;
    }

private:
    RunOutput &inner_;
    std::mutex mutex_;
    std::vector<std::pair<std::string, kvat_writer_info>> infos_;
};

int run(const ScanVerbOptions &o) {
    RunOutput output({o.json, false});
    ScanOutput view(output);
    kelvra::run::SessionOptions options;
    options.scan.explicit_ports = o.ports;
    options.scan_linger_ms = 0;
    kelvra::run::RunSession session(view, options);
    session.app().set_at_baud_rate(o.baud);
    const std::vector<std::string> names = session.Scan(o.any_port);

    // The probe's answer is not kept by the scan: ask each writer once more.
    std::vector<Writer> writers;
    for (const kelvra::run::OpenPort &port : session.app().open_ports()) {
        kelvra::S_CmdParam command = kelvra::NewCmdParam(kelvra::ATCmdGetWriterInfo);
        Writer w;
        w.port = port.name;
        w.device = session.app().DevicePath(port.name);
        // It answered the scan's probe a moment ago: a busy machine gets two more tries at the
        // probe's 100 ms.
        for (int attempt = 0; attempt < 3 && !w.answered; ++attempt) {
            w.answered = session.app().Execute(session.app().protocol_object(port.index), &command, &port.index) == 0;
        }
        writers.push_back(w);
    }
    for (const auto &[port, info] : view.infos()) {
        for (Writer &w : writers) {
            if (w.port == port) w.info = info;
        }
    }
    session.app().CloseAll(false);

    if (o.json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const Writer &w : writers) {
            nlohmann::ordered_json item = {{"port", w.port}, {"device", w.device}};
            if (w.answered) {
                item["type"] = text(w.info.type);
                item["serial_number"] = text(w.info.serial_number);
                item["hardware_version"] = text(w.info.hardware_version);
                item["bootloader_version"] = text(w.info.bootloader_version);
                item["interface_version"] = text(w.info.interface_version);
            }
            list.push_back(item);
        }
        const std::string dump = list.dump(4, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        std::printf("%s\n", dump.c_str());
    } else {
        const std::vector<std::string> heads = {"PORT", "DEVICE", "TYPE", "SERIAL NUMBER", "HARDWARE", "BOOTLOADER", "INTERFACE"};
        std::vector<std::vector<std::string>> rows;
        for (const Writer &w : writers) {
            rows.push_back({w.port, w.device, text(w.info.type), text(w.info.serial_number),
                            text(w.info.hardware_version), text(w.info.bootloader_version),
                            text(w.info.interface_version)});
        }
        std::vector<std::size_t> width;
        for (const auto &h : heads) width.push_back(h.size());
        for (const auto &r : rows) {
            for (std::size_t i = 0; i < r.size(); ++i) width[i] = std::max(width[i], r[i].size());
        }
        auto print_row = [&](const std::vector<std::string> &r) {
            std::string line;
            for (std::size_t i = 0; i < r.size(); ++i) {
                line += r[i];
                if (i + 1 < r.size()) line += std::string(width[i] - r[i].size() + 2, ' ');
            }
            std::printf("%s\n", line.c_str());
        };
        print_row(heads);
        for (const auto &r : rows) print_row(r);
        std::printf("%zu writer%s\n", names.size(), names.size() == 1 ? "" : "s");
    }
    return names.empty() ? kExitFailed : kExitOk;
}

void setup(CLI::App &app) {
    auto o = std::make_shared<ScanVerbOptions>();
    CLI::App *sub = app.add_subcommand("scan", "Scan for writers as the program does and list them");
    sub->add_option("--port", o->ports, "Also scan this device (e.g. a virtual writer's link)");
    sub->add_flag("--any-port", o->any_port, "Debug mode: every serial port is a candidate");
    sub->add_option("--baud", o->baud, "AT baud rate to open the ports with")->capture_default_str()
        ->check(CLI::Range(1, 4000000));
    sub->add_flag("--json", o->json, "Print a JSON array");
    sub->callback([o] { set_exit_code(run(*o)); });
}

const bool registered = register_verb("scan", setup);

}  // namespace
}  // namespace kvat::cli
