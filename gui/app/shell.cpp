#include "gui/app/shell.h"

#include <QApplication>
#include <QDesktopServices>

namespace kelvra::gui::app {
namespace {

std::function<void(const QUrl &)> &Opener() {
    static std::function<void(const QUrl &)> opener;
    return opener;
}

}  // namespace

void OpenWithShell(const QUrl &url) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (Opener()) {
        Opener()(url);
    } else {
        QDesktopServices::openUrl(url);
    }
    QApplication::restoreOverrideCursor();
}

void SetShellOpener(std::function<void(const QUrl &)> opener) { Opener() = std::move(opener); }

}  // namespace kelvra::gui::app
