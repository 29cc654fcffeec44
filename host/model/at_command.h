// The command catalogue: every command id a command list can hold, with its English name (logs,
// run log) and its Chinese display name (buttons and list view).
#pragma once

#include "host/model/command_table.h"

#include <cstdint>
#include <map>
#include <string>

namespace kelvra {

using ATCmdNameMap = std::map<std::int32_t, std::string>;

// Both maps hold the ids of the command table and iterate in ascending id order.
const ATCmdNameMap &ATCmdNames();
const ATCmdNameMap &ATCmdDisplayNames();

// "" when the id is not in the catalogue.
std::string ATCmdName(std::int32_t id);
std::string ATCmdDisplayName(std::int32_t id);

}  // namespace kelvra
