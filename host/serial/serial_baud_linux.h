// Any bit rate through the Linux termios2 interface. Kept apart because the kernel's termios
// definitions cannot share a file with the C library's.
#pragma once

namespace kelvra::serial::detail {

// Sets both directions to `rate` bits per second; false when the device refuses.
bool linux_set_baud(int fd, int rate);
// The output rate the device reports, 0 when unknown.
int linux_get_baud(int fd);

}  // namespace kelvra::serial::detail
