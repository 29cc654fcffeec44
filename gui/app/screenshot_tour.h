// The screenshots of the README, taken by the program itself (the hidden --screenshots
// option): it scans (saving the wait window), loads a script, runs it, and saves the main
// window, the selection dialog, the parameter dialog of "-write", the writer configuration
// dialog and the about box as PNG files; then it closes the window.
#pragma once

#include <QString>

namespace kelvra::gui::windows {
class MainWindow;
}

namespace kelvra::gui::app {

void StartScreenshotTour(windows::MainWindow &window, const QString &out_dir, const QString &script);

}  // namespace kelvra::gui::app
