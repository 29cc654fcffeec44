/* Test helper, never shipped: preloaded into wine so that Linux pseudo-terminals, which have no
 * modem lines, answer the modem-line requests as a quiet serial line would. Wine's serial
 * driver then waits for port events on them as on a real port. A line that was hung up still
 * fails, so unplugging is seen as on a real port. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

/* Unix 98 pseudo-terminal slaves have majors 136 to 143. */
static int is_pty_slave(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
           major(st.st_rdev) <= 143;
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real)(int, unsigned long, ...);
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (!real) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    const int result = real(fd, request, arg);
    const int error = errno;
    if (result == 0 || (error != ENOTTY && error != EINVAL) || !is_pty_slave(fd)) {
        errno = error;
        return result;
    }
    switch (request) {
        case TIOCMGET:
            *(int *)arg = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
            return 0;
        case TIOCMSET:
        case TIOCMBIS:
        case TIOCMBIC:
            return 0;
        case TIOCMIWAIT: {
            /* Nothing ever changes: wait like a quiet line, but not for ever. */
            errno = EINTR;
            return -1;
        }
        default:
            errno = error;
            return result;
    }
}
