// English message texts of the result codes (E_ATCmdError) shown when a command fails.
#pragma once

#include <cstdint>
#include <string_view>

namespace kelvra {

// The message of `code`, "" for a code that has none. Texts keep their leading blanks.
std::string_view ATCmdErrorMessage(std::int32_t code);

}  // namespace kelvra
