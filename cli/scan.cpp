// kvat scan: scans exactly as the program does and lists the writers that answered, each with
// the writer information its probe returned.
#include "cli/run_output.h"
#include "cli/text_table.h"
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

// Renders the log like a run; the table or JSON below is the scan's own output.
class ScanView final : public kelvra::run::NullRunView {
public:
    explicit ScanView(RunOutput &inner) : inner_(inner) {}
    void OnEvent(const kelvra::run::RunEvent &event) override {
        if (std::holds_alternative<kelvra::run::LogLine>(event) || std::holds_alternative<kelvra::run::Diagnostic>(event)) {
            inner_.OnEvent(event);
        }
    }

private:
    RunOutput &inner_;
};

int run(const ScanVerbOptions &o) {
    RunOutput output({o.json, false});
    kelvra::run::SessionOptions options;
    options.scan.explicit_ports = o.ports;
    options.scan_linger_ms = 0;
    ScanView view(output);
    kelvra::run::RunSession session(view, options);
    session.set_at_baud_rate(o.baud);
    const std::vector<std::string> names = session.Scan(o.any_port);
    // The scan's records carry what each writer's probe answered: nothing is asked again.
    const std::vector<kelvra::run::PortRecord> writers = session.ports();

    if (o.json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const kelvra::run::PortRecord &w : writers) {
            list.push_back({{"port", w.name},
                            {"device", w.device},
                            {"type", w.writer.type},
                            {"serial_number", w.writer.serial_number},
                            {"hardware_version", w.writer.hardware_version},
                            {"bootloader_version", w.writer.bootloader_version},
                            {"interface_version", w.writer.interface_version}});
        }
        const std::string dump = list.dump(4, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        std::printf("%s\n", dump.c_str());
    } else {
        std::vector<std::vector<std::string>> rows = {
            {"PORT", "DEVICE", "TYPE", "SERIAL NUMBER", "HARDWARE", "BOOTLOADER", "INTERFACE"}};
        for (const kelvra::run::PortRecord &w : writers) {
            rows.push_back({w.name, w.device, w.writer.type, w.writer.serial_number, w.writer.hardware_version,
                            w.writer.bootloader_version, w.writer.interface_version});
        }
        PrintTable(stdout, rows);
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
