#include "host/serial/port_discovery.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace kelvra::serial {

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
        PortRecord record;
        record.device_path = path;
        record.explicit_port = true;
        const std::string base = SafePortName(std::filesystem::path(path).filename().string());
        record.port_name = base;
        // Two links of the same name in different folders still get their own result folders.
        for (int n = 2; std::any_of(ports.begin(), ports.end(), [&](const PortRecord &p) {
                 return p.port_name == record.port_name;
             });
             ++n) {
            record.port_name = base + "_" + std::to_string(n);
        }
        std::error_code ec;
        const auto target = std::filesystem::canonical(path, ec);
        record.friendly_name = ec ? path : target.string();
        ports.push_back(std::move(record));
    }
}

}  // namespace kelvra::serial
