// Virtual writers inside the program (--simulate): each on a pseudo-terminal behind a link
// <folder>/ttyKV<i>, optionally with a fault, for trying the program without hardware.
#pragma once

#include "sim/pty_writer.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace kelvra::gui::app {

struct SimulatedFault {
    std::size_t writer = 0;
    sim::FaultSettings faults;
};

// "I:nack=CODE" or "I:nack=CODE@REQUEST" (writer I answers requests, or only that request
// code, with NACK and CODE), "I:unplug=N" (writer I disappears after N request frames; the
// scan's probe is one). Nothing, with `error` set, for anything else.
std::optional<SimulatedFault> ParseFault(const std::string &text, std::string *error);

class Simulation {
public:
    // Throws when a pseudo-terminal or the link folder cannot be had.
    Simulation(std::size_t count, const std::vector<SimulatedFault> &faults);
    ~Simulation();
    Simulation(const Simulation &) = delete;
    Simulation &operator=(const Simulation &) = delete;

    std::vector<std::string> links() const { return writers_.link_paths(); }

private:
    sim::TemporaryWriterPool writers_;
};

}  // namespace kelvra::gui::app
