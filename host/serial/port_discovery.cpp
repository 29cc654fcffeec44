#include "host/serial/port_discovery.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <string_view>

namespace kelvra::serial {

namespace {

std::mutex g_root_mutex;
std::filesystem::path g_root = "/sys";

}  // namespace

void SetDiscoveryRoot(const std::filesystem::path &sysfs_root) {
    std::lock_guard<std::mutex> lock(g_root_mutex);
    g_root = sysfs_root;
}

std::filesystem::path DiscoveryRoot() {
    std::lock_guard<std::mutex> lock(g_root_mutex);
    return g_root;
}

std::vector<PortRecord> EnumeratePorts() { return EnumeratePorts(DiscoveryRoot()); }

bool IsWriterPort(const std::string &hardware_id) {
    // Only the bus and the vendor/product part: the serial number after it is free text, and an
    // adapter whose serial holds "0D28" and "0204" is no writer.
    const auto first = hardware_id.find('\\');
    const auto second = first == std::string::npos ? first : hardware_id.find('\\', first + 1);
    const std::string_view ids = std::string_view(hardware_id).substr(0, second);
    return ids.find("0D28") != std::string_view::npos && ids.find("0204") != std::string_view::npos;
}

bool IsCandidate(const PortRecord &port, bool debug_mode) {
    return debug_mode || port.explicit_port || IsWriterPort(port.hardware_id);
}

std::string SafePortName(const std::string &name) {
    std::string safe = name;
    for (char &c : safe) {
        const auto u = static_cast<unsigned char>(c);
        if (!std::isalnum(u) && c != '.' && c != '_' && c != '-') c = '_';
    }
    if (safe.empty() || safe == "." || safe == "..") safe = "port" + safe;
    return safe;
}

void AddExplicitPorts(std::vector<PortRecord> &ports, const std::vector<std::string> &paths) {
    for (const std::string &path : paths) {
        PortRecord record = detail::NamedPort(path);
        // Opening one device under two names would fail the second open, or worse, read it twice.
        const auto listed = std::find_if(ports.begin(), ports.end(), [&](const PortRecord &p) {
            return detail::SameDevice(p.device_path, record.device_path);
        });
        if (listed != ports.end()) {
            listed->explicit_port = true;
            continue;
        }
        const std::string base = record.port_name;
        // Two links of the same name in different folders still get their own result folders.
        for (int n = 2; std::any_of(ports.begin(), ports.end(), [&](const PortRecord &p) {
                 return p.port_name == record.port_name;
             });
             ++n) {
            record.port_name = base + "_" + std::to_string(n);
        }
        ports.push_back(std::move(record));
    }
}

}  // namespace kelvra::serial
