#include "gui/app/simulation.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace kelvra::gui::app {
namespace {

bool ParseUnsigned(const std::string &text, unsigned long &value) {
    if (text.empty()) return false;
    char *end = nullptr;
    value = std::strtoul(text.c_str(), &end, 0);
    return end != nullptr && *end == '\0' && text.front() != '-';
}

}  // namespace

std::optional<SimulatedFault> ParseFault(const std::string &text, std::string *error) {
    auto fail = [&](const std::string &why) -> std::optional<SimulatedFault> {
        if (error != nullptr) *error = "--simulate-fault " + text + ": " + why;
        return std::nullopt;
    };
    const auto colon = text.find(':');
    const auto equals = text.find('=', colon == std::string::npos ? 0 : colon);
    if (colon == std::string::npos || equals == std::string::npos) return fail("expected I:nack=CODE[@REQUEST] or I:unplug=N");
    unsigned long writer = 0, number = 0;
    if (!ParseUnsigned(text.substr(0, colon), writer)) return fail("bad writer number");
    const std::string kind = text.substr(colon + 1, equals - colon - 1);
    std::string value = text.substr(equals + 1);
    SimulatedFault fault;
    fault.writer = writer;
    if (kind == "nack") {
        const auto at = value.find('@');
        if (at != std::string::npos) {
            unsigned long request = 0;
            if (!ParseUnsigned(value.substr(at + 1), request)) return fail("bad request code");
            fault.faults.code = static_cast<std::uint32_t>(request);
            value.resize(at);
        }
        if (!ParseUnsigned(value, number) || number == 0) return fail("bad result code");
        fault.faults.nack = static_cast<std::uint32_t>(number);
    } else if (kind == "unplug") {
        if (!ParseUnsigned(value, number)) return fail("bad frame count");
        fault.faults.disappear_after = static_cast<int>(number);
    } else {
        return fail("unknown fault '" + kind + "'");
    }
    return fault;
}

Simulation::Simulation(std::size_t count, const std::vector<SimulatedFault> &faults) {
    char pattern[] = "/tmp/kelvra-gui-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a folder for the virtual writers");
    dir_ = pattern;
    try {
        for (std::size_t i = 0; i < count; ++i) {
            sim::WriterSettings settings;
            char serial[32];
            std::snprintf(serial, sizeof serial, "KVSIM%04zu", i);
            settings.serial_number = serial;
            sim::FaultSettings fault_settings;
            for (const SimulatedFault &f : faults) {
                if (f.writer == i) fault_settings = f.faults;
            }
            writers_.push_back(std::make_unique<sim::PtyWriter>(settings, fault_settings));
            const std::filesystem::path link = dir_ / sim::VirtualWriterPool::link_name(i);
            std::filesystem::create_symlink(writers_.back()->device_path(), link);
            links_.push_back(link);
        }
    } catch (...) {
        writers_.clear();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        throw;
    }
}

Simulation::~Simulation() {
    writers_.clear();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::string> Simulation::links() const {
    std::vector<std::string> out;
    for (const auto &link : links_) out.push_back(link.string());
    return out;
}

}  // namespace kelvra::gui::app
