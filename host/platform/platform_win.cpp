#include "host/platform/platform.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
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
    // Line feeds as they are: what the tools print equals, byte for byte, what they print on
    // other systems (consoles show a bare line feed as a new line too).
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

void OnInterrupt(void (*handler)(int)) {
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
    std::signal(SIGBREAK, handler);
}

// Windows has no SIGPIPE: a write to a closed pipe already fails.
void IgnoreBrokenPipe() {}

}  // namespace kelvra::platform
