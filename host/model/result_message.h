// English message texts of the result codes (E_ATCmdError) shown when a command fails.
#pragma once

#include <cstdint>
#include <string_view>

namespace kelvra {

// Codes of the host's own, beyond the writer's range.
inline constexpr std::int32_t kHostErrVerify = 1000;  // the data read back differs from the data written

// The message of `code`, "" for a code that has none. Texts keep their leading blanks.
std::string_view ATCmdErrorMessage(std::int32_t code);

}  // namespace kelvra
