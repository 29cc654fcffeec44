// Windows: the console's control events (Ctrl+C, Ctrl+Break, closing the console, logging off,
// shutting down) arrive on a thread of their own and are queued to the window's thread.
#include "gui/app/close_on_signals.h"

#include <QDialog>
#include <QMetaObject>
#include <QPointer>

#include <windows.h>

namespace kelvra::gui::app {
namespace {

QPointer<QDialog> g_window;

BOOL WINAPI OnControl(DWORD /*event*/) {
    if (g_window.isNull()) return FALSE;
    QMetaObject::invokeMethod(g_window.data(), "reject", Qt::QueuedConnection);
    return TRUE;
}

}  // namespace

void CloseOnSignals(QDialog &window) {
    g_window = &window;
    SetConsoleCtrlHandler(OnControl, TRUE);
}

}  // namespace kelvra::gui::app
