// Tick, sleep and address wait on Linux and macOS.
#include "core/kelvra_at_port.h"

#include <cerrno>
#include <climits>
#include <ctime>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

uint32_t GetSystemTick() {
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                                 static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

void ATSleep(uint32_t ms) {
    timespec want{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    timespec rest{};
    while (nanosleep(&want, &rest) != 0 && errno == EINTR) want = rest;
}

#if defined(__linux__)
// A private futex: the words live in this process only.
void ATWaitWord(const uint32_t *word, uint32_t expected, uint32_t ms) {
    timespec wait{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, &wait, nullptr, 0);
}

void ATWakeWord(const uint32_t *word) {
    syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}
#else
// No public address wait on macOS: the waiter falls back to sleep-and-poll.
void ATWaitWord(const uint32_t *, uint32_t, uint32_t ms) { ATSleep(ms); }
void ATWakeWord(const uint32_t *) {}
#endif
