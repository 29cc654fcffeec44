// Ctrl+C, a request to terminate or the session's end calls `on_signal` on the window's thread,
// which ends the program as the close box does (a run stops cleanly, the settings are
// written), without questions. One file per OS.
#pragma once

#include <functional>

class QDialog;

namespace kelvra::gui::app {

void CloseOnSignals(QDialog &window, std::function<void()> on_signal);

}  // namespace kelvra::gui::app
