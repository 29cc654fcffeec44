#include "gui/app/simulation.h"

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

namespace {

sim::VirtualWriterPool::Options PoolOptions(std::size_t count, const std::vector<SimulatedFault> &faults) {
    sim::VirtualWriterPool::Options options;
    options.count = count;
    for (const SimulatedFault &f : faults) options.writer_faults[f.writer] = f.faults;
    return options;
}

}  // namespace

Simulation::Simulation(std::size_t count, const std::vector<SimulatedFault> &faults)
    : writers_(PoolOptions(count, faults), "kelvra-gui") {}

Simulation::~Simulation() = default;

}  // namespace kelvra::gui::app
