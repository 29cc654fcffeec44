// Ctrl+C, a request to terminate or the session's end closes the window as its close box
// does, so a run ends cleanly and the settings are written. One file per OS.
#pragma once

class QDialog;

namespace kelvra::gui::app {

void CloseOnSignals(QDialog &window);

}  // namespace kelvra::gui::app
