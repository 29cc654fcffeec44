// The command record: one command of a command list with every parameter any command can take.
// It is a plain value, copied freely between the list, the dialogs, the script loader and a run.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace kelvra {

inline constexpr std::size_t kCmdTextSize = 256;  // text fields: up to 255 bytes and a zero
inline constexpr std::int32_t kInvalidWord = -100;  // "-dir", "-kf", "-wtrsp" value not recognised
inline constexpr std::uint32_t kInvalidResetType = 0x7FFFFFFF;
inline constexpr std::uint32_t kDefaultResetType = 3;
inline constexpr std::int32_t kDefaultBaudRate = 115200;
inline constexpr std::int32_t kDefaultTimeout = 10000;  // of a new record whose id is no command
inline constexpr std::int32_t kAllFirmware = -1;  // "-fw-num all"

struct S_CmdParam {
    std::int32_t command;
    std::uint32_t address;
    std::uint32_t size;
    std::int32_t baudrate;
    std::int32_t timeout;
    std::int32_t direction;      // 0 USB to UART, 1 UART to USB
    std::int32_t bcst_with_rsp;  // extended broadcast
    std::int32_t kf;             // 1 forward the whole frame, 0 the payload only
    std::int32_t wait_response;
    std::int32_t fw_num;
    char password[kCmdTextSize];
    char file[kCmdTextSize];
    char data[kCmdTextSize];
    std::uint32_t reset_type;
    std::int32_t mode;
};

static_assert(std::is_trivially_copyable_v<S_CmdParam>);
static_assert(std::is_standard_layout_v<S_CmdParam>);

// A zero-filled record (every number 0, every text empty).
S_CmdParam ZeroCmdParam();

// The record the main window adds for a newly chosen command: defaults filled in.
S_CmdParam NewCmdParam(std::int32_t command);

// The text of a text field: its bytes up to the first zero, never past the field.
std::string_view CmdText(const char (&field)[kCmdTextSize]);

// Stores `text` with a terminating zero; cuts it to 255 bytes. Returns false when it was cut.
bool SetCmdText(char (&field)[kCmdTextSize], std::string_view text);

// Reset methods 0 to 7, in the order the parameter dialog offers them; 3 is the default.
inline constexpr std::array<std::string_view, 8> kResetTypeNames{
    "设置nRST为低",
    "设置nRST为高阻态",
    "nRST 硬件复位",
    "nRST硬件复位与软件内核复位(默认)",
    "软件内核复位",
    "复位到向量入口",
    "执行POR上电复位",
    "执行上电复位并释放端口",
};

// The reset method's text, "不支持的复位类型" for any other value.
std::string_view ResetTypeName(std::uint32_t reset_type);

}  // namespace kelvra
