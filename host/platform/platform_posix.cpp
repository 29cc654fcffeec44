#include "host/platform/platform.h"

#include <csignal>
#include <unistd.h>

namespace kelvra::platform {

std::tm LocalTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    return local;
}

bool IsTerminal(int fd) { return isatty(fd) == 1; }

void UseUtf8Console() {}

void OnInterrupt(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void IgnoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

}  // namespace kelvra::platform
