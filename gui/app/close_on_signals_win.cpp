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
std::function<void()> g_close;

BOOL WINAPI OnControl(DWORD /*event*/) {
    if (g_window.isNull()) return FALSE;
    QMetaObject::invokeMethod(g_window.data(), [] { g_close(); }, Qt::QueuedConnection);
    return TRUE;
}

}  // namespace

void CloseOnSignals(QDialog &window, std::function<void()> on_signal) {
    g_window = &window;
    g_close = std::move(on_signal);
    SetConsoleCtrlHandler(OnControl, TRUE);
}

}  // namespace kelvra::gui::app
