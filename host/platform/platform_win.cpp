#include "host/platform/platform.h"

#include <csignal>
#include <io.h>
#include <windows.h>

namespace kelvra::platform {

std::tm LocalTime(std::time_t when) {
    std::tm local{};
    localtime_s(&local, &when);
    return local;
}

bool IsTerminal(int fd) { return _isatty(fd) != 0; }

void UseUtf8Console() {
    // The lines are UTF-8 (Chinese among them); the ANSI code page would garble them.
    SetConsoleOutputCP(CP_UTF8);
}

void OnInterrupt(void (*handler)(int)) {
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
    std::signal(SIGBREAK, handler);
}

}  // namespace kelvra::platform
