// Port listing from sysfs: every tty with a device behind it; for USB devices the IDs, serial
// number and product text of the USB device above the tty.
#include "host/serial/port_discovery.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <optional>

namespace kelvra::serial {
namespace {

namespace fs = std::filesystem;

std::string read_attribute(const fs::path &file) {
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    return text;
}

std::string upper(std::string text) {
    for (char &c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Digits compare by value, so ttyUSB2 comes before ttyUSB10.
bool natural_less(const std::string &a, const std::string &b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t ie = i, je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
            const std::string na = a.substr(i, ie - i), nb = b.substr(j, je - j);
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// The USB device (the folder with idVendor and idProduct) at or above `device`, inside `root`.
std::optional<fs::path> usb_device_above(fs::path device, const fs::path &root) {
    for (; !device.empty() && device != device.root_path(); device = device.parent_path()) {
        if (device.string().rfind(root.string(), 0) != 0) break;
        std::error_code ec;
        if (fs::exists(device / "idVendor", ec) && fs::exists(device / "idProduct", ec)) return device;
    }
    return std::nullopt;
}

// The driver of the device or of the nearest device above it; the serial core's own
// "serial-base" port devices are skipped, their driver names say nothing to a user.
std::string driver_name(fs::path device, const fs::path &root) {
    for (; !device.empty() && device.string().rfind(root.string(), 0) == 0 && device != root;
         device = device.parent_path()) {
        std::error_code ec;
        if (fs::read_symlink(device / "subsystem", ec).filename() == "serial-base") continue;
        const fs::path driver = fs::read_symlink(device / "driver", ec);
        if (!ec) return driver.filename().string();
    }
    return {};
}

bool is_parallel(const std::string &name, const fs::path &device) {
    std::error_code ec;
    const std::string subsystem = fs::read_symlink(device / "subsystem", ec).filename().string();
    return upper(name).find("LPT") != std::string::npos || subsystem == "parport" ||
           subsystem == "printer";
}

}  // namespace

std::string DevicePathFor(const std::string &port_name) { return "/dev/" + port_name; }

namespace detail {

PortRecord NamedPort(const std::string &path) {
    PortRecord record;
    record.device_path = path;
    record.explicit_port = true;
    record.port_name = SafePortName(fs::path(path).filename().string());
    std::error_code ec;
    const auto target = fs::canonical(path, ec);
    record.friendly_name = ec ? path : target.string();
    return record;
}

bool SameDevice(const std::string &a, const std::string &b) {
    std::error_code ea, eb;
    const fs::path ca = fs::weakly_canonical(a, ea), cb = fs::weakly_canonical(b, eb);
    return (ea || eb) ? fs::path(a).lexically_normal() == fs::path(b).lexically_normal() : ca == cb;
}

}  // namespace detail

std::vector<PortRecord> EnumeratePorts(const fs::path &sysfs_root) {
    std::vector<PortRecord> ports;
    std::error_code ec;
    const fs::path root = fs::weakly_canonical(sysfs_root, ec);
    for (const auto &entry : fs::directory_iterator(sysfs_root / "class" / "tty", ec)) {
        const std::string name = entry.path().filename().string();
        std::error_code dev_ec;
        // Virtual consoles and pseudo-terminals have no device behind them.
        const fs::path device = fs::canonical(entry.path() / "device", dev_ec);
        if (dev_ec) continue;
        if (is_parallel(name, device)) continue;

        PortRecord record;
        record.port_name = SafePortName(name);
        record.device_path = "/dev/" + name;
        if (auto usb = usb_device_above(device, root)) {
            unsigned vid = 0, pid = 0;
            std::sscanf(read_attribute(*usb / "idVendor").c_str(), "%x", &vid);
            std::sscanf(read_attribute(*usb / "idProduct").c_str(), "%x", &pid);
            char id[32];
            std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", vid & 0xFFFFu, pid & 0xFFFFu);
            record.hardware_id = id;
            const std::string serial = read_attribute(*usb / "serial");
            if (!serial.empty()) record.hardware_id += "\\" + serial;
            record.friendly_name = read_attribute(*usb / "product");
            if (record.friendly_name.empty()) record.friendly_name = read_attribute(*usb / "manufacturer");
        }
        // As on other systems, a "(COMn)" suffix in the product text is not part of the name.
        if (const auto com = record.friendly_name.find("(COM"); com != std::string::npos) {
            record.friendly_name.erase(com);
        }
        if (record.friendly_name.empty()) record.friendly_name = driver_name(device, root);
        if (record.friendly_name.empty()) record.friendly_name = name;
        ports.push_back(std::move(record));
    }
    std::sort(ports.begin(), ports.end(), [](const PortRecord &a, const PortRecord &b) {
        return natural_less(a.port_name, b.port_name);
    });
    return ports;
}

}  // namespace kelvra::serial
