#include "host/serial/port_discovery.h"

#include <algorithm>
#include <cctype>

namespace kelvra::serial {

bool IsWriterPort(const std::string &hardware_id) {
    return hardware_id.find("0D28") != std::string::npos &&
           hardware_id.find("0204") != std::string::npos;
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
