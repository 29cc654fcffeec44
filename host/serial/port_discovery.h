// Finding writers among the serial ports. The listing of the system's ports lives in
// port_discovery_<os>.cpp; the rules above it are the same everywhere.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kelvra::serial {

struct PortRecord {
    std::string port_name;      // e.g. ttyACM0 or COM3; always safe as a folder name
    std::string device_path;    // what to open, e.g. /dev/ttyACM0 or \\.\COM3
    std::string friendly_name;  // the device's product text, or a description
    std::string hardware_id;    // USB\VID_0D28&PID_0204\<serial> for USB devices, else empty
    bool explicit_port = false; // named by the user (--port), not found by the listing
};

// All serial ports of the system; parallel ports are never listed. On Linux: every tty with a
// device behind it in the sysfs tree at DiscoveryRoot(), ordered by name. On Windows: the
// devices of the Ports class in the order SetupAPI lists them.
std::vector<PortRecord> EnumeratePorts();
// The same with the sysfs tree at `sysfs_root` (Linux); Windows ignores the path.
std::vector<PortRecord> EnumeratePorts(const std::filesystem::path &sysfs_root);

// Where the Linux listing reads sysfs: /sys unless set. Tests and diagnostics point it at
// another tree; Windows keeps it but never reads it.
void SetDiscoveryRoot(const std::filesystem::path &sysfs_root);
std::filesystem::path DiscoveryRoot();

// What to open for a port name: /dev/<name> on Linux, \\.\<name> on Windows.
std::string DevicePathFor(const std::string &port_name);

// Adds records for devices the user named: on Linux device paths (e.g. links to virtual
// writers), whose port name is the link's own name, made unique and folder-safe; on Windows
// also plain port names such as COM5. A named device that the listing already holds is not
// added twice: the listed record is marked as named instead.
void AddExplicitPorts(std::vector<PortRecord> &ports, const std::vector<std::string> &paths);

// A writer's hardware ID carries its USB vendor ID 0D28 and product ID 0204 (plain,
// case-sensitive substring tests). Only the part before the second backslash is tested, so
// the serial number that follows it (USB\VID_xxxx&PID_xxxx\<serial>) never makes a writer.
bool IsWriterPort(const std::string &hardware_id);

// Whether a record is a writer candidate: a writer by its ID, any port in debug mode, and any
// port the user named explicitly.
bool IsCandidate(const PortRecord &port, bool debug_mode);

namespace detail {
// The record of one named device, before its port name is made unique (per OS).
PortRecord NamedPort(const std::string &path);
// Whether two device paths open the same device (per OS).
bool SameDevice(const std::string &a, const std::string &b);
}  // namespace detail

// `name` with every character outside [A-Za-z0-9._-] replaced by '_', never "", "." or "..".
std::string SafePortName(const std::string &name);

}  // namespace kelvra::serial
