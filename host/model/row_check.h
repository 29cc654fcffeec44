// The checks every row of a command list must pass before a run starts. They look only at the
// record and at the files it names; nothing is sent to a writer.
#pragma once

#include "host/model/cmd_param.h"

#include <functional>
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

// Converts the writer configuration JSON file at `path`; returns the converter's error text, ""
// when the file converts. Only called for names ending in ".json" that exist and are not empty.
using JsonConfigCheck = std::function<std::string(const std::string &path)>;

// The first failing check of one row, or nothing. Without `json_check` the contents of a
// "-setcfg" JSON file are not examined.
std::optional<RowCheckFailure> CheckRow(const S_CmdParam &record, int row,
                                        const JsonConfigCheck &json_check = {});

// The first failing row of the list, as a run start stops at it.
std::optional<RowCheckFailure> CheckRows(const std::vector<S_CmdParam> &commands,
                                         const JsonConfigCheck &json_check = {});

}  // namespace kelvra
