// Finding writers among the serial ports. The listing of the system's ports lives in
// port_discovery_<os>.cpp; the rules above it are the same everywhere.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kelvra::serial {

struct PortRecord {
    std::string port_name;      // e.g. ttyACM0; always safe as a folder name
    std::string device_path;    // what to open, e.g. /dev/ttyACM0
    std::string friendly_name;  // the device's product text, or a description
    std::string hardware_id;    // USB\VID_0D28&PID_0204\<serial> for USB devices, else empty
    bool explicit_port = false; // named by the user (--port), not found by the listing
};

// All serial ports of the system, ordered by name. `sysfs_root` is /sys normally; tests and
// diagnostics point it at another tree. Parallel ports are never listed.
std::vector<PortRecord> EnumeratePorts(const std::filesystem::path &sysfs_root = "/sys");

// Adds records for device paths the user named (e.g. links to virtual writers): the port
// name is the link's own name, made unique and folder-safe.
void AddExplicitPorts(std::vector<PortRecord> &ports, const std::vector<std::string> &paths);

// A writer's hardware ID carries its USB vendor ID 0D28 and product ID 0204 (plain,
// case-sensitive substring tests). Only the part before the second backslash is tested, so
// the serial number that follows it (USB\VID_xxxx&PID_xxxx\<serial>) never makes a writer.
bool IsWriterPort(const std::string &hardware_id);

// Whether a record is a writer candidate: a writer by its ID, any port in debug mode, and any
// port the user named explicitly.
bool IsCandidate(const PortRecord &port, bool debug_mode);

// `name` with every character outside [A-Za-z0-9._-] replaced by '_', never "", "." or "..".
std::string SafePortName(const std::string &name);

}  // namespace kelvra::serial
