#include "host/serial/serial_baud_linux.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace kelvra::serial::detail {

bool linux_set_baud(int fd, int rate) {
    if (rate <= 0) return false;
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = static_cast<speed_t>(rate);
    tio.c_ospeed = static_cast<speed_t>(rate);
    return ioctl(fd, TCSETS2, &tio) == 0;
}

int linux_get_baud(int fd) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
    return static_cast<int>(tio.c_ospeed);
}

}  // namespace kelvra::serial::detail
