// Platform services of the core: millisecond tick, sleep and the CRC wrapper.
#include "core/crc32.h"
#include "core/kelvra_at_port.h"

#include <cerrno>
#include <ctime>

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

uint32_t GetCrc32(const void *data, int32_t length) { return crc32(data, length); }
