// The window shows the engine's few lines of its own that are in English (kvat prints them as
// they are) in Chinese, like every other text of the program.
#pragma once

#include <string>

namespace kelvra::gui::windows {

// The Chinese text of one of those lines; any other text unchanged.
std::string WindowText(const std::string &text);

}  // namespace kelvra::gui::windows
