// kvat ports: the serial ports and which of them a scan takes as writers.
#include "cli/verb.h"
#include "host/serial/port_discovery.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kvat::cli {
namespace {

struct PortsOptions {
    bool any_port = false;
    std::vector<std::string> ports;
    bool json = false;
    std::string sysfs_root;  // Linux: "" reads the serial layer's own, /sys
};

void print_table(const std::vector<kelvra::serial::PortRecord> &ports, bool any_port) {
    const std::vector<std::string> heads = {"PORT", "DEVICE", "FRIENDLY NAME", "HARDWARE ID"};
    std::vector<size_t> width;
    for (const auto &h : heads) width.push_back(h.size());
    for (const auto &p : ports) {
        width[0] = std::max(width[0], p.port_name.size());
        width[1] = std::max(width[1], p.device_path.size());
        width[2] = std::max(width[2], p.friendly_name.size());
        width[3] = std::max(width[3], p.hardware_id.size());
    }
    auto row = [&](const std::string &a, const std::string &b, const std::string &c,
                   const std::string &d, const char *mark) {
        std::printf("%-*s  %-*s  %-*s  %-*s  %s\n", static_cast<int>(width[0]), a.c_str(),
                    static_cast<int>(width[1]), b.c_str(), static_cast<int>(width[2]), c.c_str(),
                    static_cast<int>(width[3]), d.c_str(), mark);
    };
    row(heads[0], heads[1], heads[2], heads[3], "WRITER");
    size_t candidates = 0;
    for (const auto &p : ports) {
        const bool candidate = kelvra::serial::IsCandidate(p, any_port);
        candidates += candidate ? 1 : 0;
        row(p.port_name, p.device_path, p.friendly_name, p.hardware_id, candidate ? "yes" : "no");
    }
    std::printf("%zu port%s, %zu writer candidate%s%s\n", ports.size(), ports.size() == 1 ? "" : "s",
                candidates, candidates == 1 ? "" : "s", any_port ? " (any port)" : "");
}

int run(const PortsOptions &o) {
    if (!o.sysfs_root.empty()) {
        std::error_code ec;
        if (!std::filesystem::is_directory(o.sysfs_root, ec)) {
            std::fprintf(stderr, "kvat ports: %s is not a folder\n", o.sysfs_root.c_str());
            return kExitInput;
        }
        kelvra::serial::SetDiscoveryRoot(o.sysfs_root);
    }
    auto ports = kelvra::serial::EnumeratePorts();
    kelvra::serial::AddExplicitPorts(ports, o.ports);
    if (o.json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const auto &p : ports) {
            list.push_back({{"port_name", p.port_name},
                            {"device_path", p.device_path},
                            {"friendly_name", p.friendly_name},
                            {"hardware_id", p.hardware_id},
                            {"candidate", kelvra::serial::IsCandidate(p, o.any_port)}});
        }
        const std::string text =
            list.dump(4, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        std::printf("%s\n", text.c_str());
    } else {
        print_table(ports, o.any_port);
    }
    return kExitOk;
}

void setup(CLI::App &app) {
    auto o = std::make_shared<PortsOptions>();
    CLI::App *sub = app.add_subcommand("ports", "List serial ports and the writer candidates");
    sub->add_flag("--any-port", o->any_port, "Debug mode: every port is a candidate");
    sub->add_option("--port", o->ports, "Also list this device (e.g. a virtual writer's link)");
    sub->add_flag("--json", o->json, "Print a JSON array");
    sub->add_option("--sysfs-root", o->sysfs_root, "Read this sysfs tree (Linux; default /sys)");
    sub->callback([o] { set_exit_code(run(*o)); });
}

const bool registered = register_verb("ports", setup);

}  // namespace
}  // namespace kvat::cli
