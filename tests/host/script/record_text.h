// Test helpers: a record as one readable text (so a failed comparison names the field), and
// records made from a list of field edits.
#pragma once

#include "host/model/cmd_param.h"

#include <functional>
#include <string>

namespace kelvra::test {

std::string describe(const S_CmdParam &record);

// A zero-filled record with `command` and the edits of `fill` applied.
S_CmdParam record_of(std::int32_t command, const std::function<void(S_CmdParam &)> &fill = {});

}  // namespace kelvra::test
