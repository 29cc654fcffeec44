// Where a scan looks for writers.
#pragma once

#include <string>
#include <vector>

namespace kelvra::run {

inline constexpr int kDefaultAtBaudRate = 115200;

struct ScanOptions {
    bool any_port = false;                     // debug mode: every listed port is a candidate
    std::vector<std::string> explicit_ports;   // device paths named by the user, scanned after the listed ones
    std::string sysfs_root = "/sys";
    // When not empty, only writers whose serial number is one of these are kept; the others
    // are closed again, as if they had not answered.
    std::vector<std::string> writer_serials;
};

}  // namespace kelvra::run
