// The checks every row of a command list must pass before a run starts. They look only at the
// record and at the files it names; nothing is sent to a writer.
#pragma once

#include "host/model/cmd_param.h"

#include <optional>
#include <string>
#include <vector>

namespace kelvra {

enum class RowCheckKind {
    Refusal,   // shown in a message box with the row selected
    LogError,  // written to the message log at error level (broadcast word values)
};

struct RowCheckFailure {
    int row;  // 1-based position in the command list
    RowCheckKind kind;
    std::string message;  // the complete text, row number filled in
};

// The first failing check of one row, or nothing. A "-setcfg" row's JSON file is converted
// into a scratch configuration as the run will convert it; a file that cannot be opened as a
// ".json" document passes here (the file checks before it catch missing and empty files).
std::optional<RowCheckFailure> CheckRow(const S_CmdParam &record, int row);

// The warning for a "-write" row whose image starts below its first data byte, "" otherwise.
// The file is loaded as the run loads it; a file that does not load is the row checks' concern.
std::string ImageStartWarning(const S_CmdParam &record);

// The first failing row of the list, as a run start stops at it.
std::optional<RowCheckFailure> CheckRows(const std::vector<S_CmdParam> &commands);

}  // namespace kelvra
