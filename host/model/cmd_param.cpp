#include "host/model/cmd_param.h"

#include "host/model/command_table.h"

#include <algorithm>
#include <cstring>

namespace kelvra {

S_CmdParam ZeroCmdParam() {
    S_CmdParam record;
    std::memset(&record, 0, sizeof record);
    return record;
}

S_CmdParam NewCmdParam(std::int32_t command) {
    S_CmdParam record = ZeroCmdParam();
    record.command = command;
    record.reset_type = kDefaultResetType;
    record.baudrate = kDefaultBaudRate;
    const CommandInfo *info = FindCommand(command);
    record.timeout = info != nullptr ? info->default_timeout : kDefaultTimeout;
    return record;
}

std::string_view CmdText(const char (&field)[kCmdTextSize]) {
    const auto *end = std::find(field, field + kCmdTextSize, '\0');
    return {field, static_cast<std::size_t>(end - field)};
}

bool SetCmdText(char (&field)[kCmdTextSize], std::string_view text) {
    const std::size_t length = std::min(text.size(), kCmdTextSize - 1);
    std::memcpy(field, text.data(), length);
    std::memset(field + length, 0, kCmdTextSize - length);
    return length == text.size();
}

std::string_view ResetTypeName(std::uint32_t reset_type) {
    if (reset_type < kResetTypeNames.size()) return kResetTypeNames[reset_type];
    return "不支持的复位类型";
}

}  // namespace kelvra
