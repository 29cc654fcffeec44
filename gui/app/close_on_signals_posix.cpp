// POSIX signals reach the window's thread through a socket pair that Qt watches.
#include "gui/app/close_on_signals.h"

#include <QDialog>
#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

namespace kelvra::gui::app {
namespace {

int g_signal_pipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_signal_pipe[1], &byte, 1);
}

}  // namespace

void CloseOnSignals(QDialog &window, std::function<void()> on_signal) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signal_pipe) != 0) return;
    auto *notifier = new QSocketNotifier(g_signal_pipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [on_signal = std::move(on_signal)] {
        char byte;
        [[maybe_unused]] const auto n = ::read(g_signal_pipe[0], &byte, 1);
        on_signal();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

}  // namespace kelvra::gui::app
