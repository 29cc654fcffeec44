// Handing an address or a folder to the desktop (the browser, the file manager).
#pragma once

#include <QUrl>

#include <functional>

namespace kelvra::gui::app {

void OpenWithShell(const QUrl &url);
// Tests catch what would be opened; an empty function restores the desktop's handler.
void SetShellOpener(std::function<void(const QUrl &)> opener);

}  // namespace kelvra::gui::app
