/*
 * c_host - a small host that drives a writer through libkelvra_at over a serial device.
 *
 *   c_host DEVICE [BAUD]
 *
 * It opens the tty in raw 8N1 mode, starts a reader thread that feeds every byte it reads to
 * the library, and asks the writer for its identity, connects the target and reads its chip
 * ID and the first 256 bytes of memory at 0x08000000. The write callback writes the frame.
 */
#define _DEFAULT_SOURCE
#include <kelvra_at.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

struct link {
    int fd;
    int stop_pipe[2]; /* written once to end the reader thread */
    kvat_handle *handle;
};

static int write_frame(void *user, const uint8_t *frame, uint32_t length, uint32_t timeout_ms) {
    struct link *link = user;
    uint32_t done = 0;
    (void)timeout_ms;
    while (done < length) {
        ssize_t n = write(link->fd, frame + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        done += (uint32_t)n;
    }
    return tcdrain(link->fd) == 0;
}

/* The reader thread: everything read from the line goes to kvat_feed. */
static void *reader(void *arg) {
    struct link *link = arg;
    uint8_t buf[512];
    for (;;) {
        struct pollfd p[2] = {{link->fd, POLLIN, 0}, {link->stop_pipe[0], POLLIN, 0}};
        ssize_t n;
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[1].revents != 0 || (p[0].revents & (POLLHUP | POLLERR))) break;
        n = read(link->fd, buf, sizeof buf);
        if (n > 0) kvat_feed(link->handle, buf, (uint32_t)n);
    }
    return NULL;
}

static speed_t speed_of(long baud) {
    switch (baud) {
        case 9600: return B9600;
        case 57600: return B57600;
        case 230400: return B230400;
        case 460800: return B460800;
        case 921600: return B921600;
        default: return B115200;
    }
}

static int open_line(const char *path, long baud) {
    struct termios tio;
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (tcgetattr(fd, &tio) != 0) {
        close(fd);
        return -1;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(tcflag_t)(CSTOPB | PARENB | CRTSCTS);
    cfsetispeed(&tio, speed_of(baud));
    cfsetospeed(&tio, speed_of(baud));
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        close(fd);
        return -1;
    }
    tcflush(fd, TCIOFLUSH);
    return fd;
}

static void print_text(const char *label, const char *text, size_t size) {
    printf("%-20s %.*s\n", label, (int)strnlen(text, size), text);
}

int main(int argc, char **argv) {
    struct link link = {-1, {-1, -1}, NULL};
    pthread_t thread;
    kvat_writer_info info;
    kvat_chip_id id;
    kvat_memory_block block;
    int status = 0;
    uint32_t i;

    if (argc < 2) {
        fprintf(stderr, "usage: %s DEVICE [BAUD]\n", argv[0]);
        return 2;
    }
    link.fd = open_line(argv[1], argc > 2 ? atol(argv[2]) : 115200);
    if (link.fd < 0) {
        fprintf(stderr, "%s: %s\n", argv[1], strerror(errno));
        return 3;
    }
    link.handle = kvat_create(0, write_frame, NULL, &link);
    if (link.handle == NULL || pipe(link.stop_pipe) != 0 || pthread_create(&thread, NULL, reader, &link) != 0) {
        fprintf(stderr, "cannot start\n");
        return 4;
    }

    if (kvat_get_writer_info(link.handle, &info)) {
        print_text("type", info.type, sizeof info.type);
        print_text("serial number", info.serial_number, sizeof info.serial_number);
        print_text("hardware version", info.hardware_version, sizeof info.hardware_version);
    } else {
        fprintf(stderr, "writer info failed: error %u\n", kvat_last_error(link.handle));
        status = 1;
    }
    if (status == 0 && kvat_target_connect(link.handle) && kvat_target_get_id(link.handle, &id)) {
        printf("%-20s", "chip id");
        for (i = 0; i < id.count && i < sizeof id.id; ++i) printf(" %02X", id.id[i]);
        printf("\n");
    } else if (status == 0) {
        fprintf(stderr, "target failed: error %u\n", kvat_last_error(link.handle));
        status = 1;
    }
    if (status == 0 && kvat_target_read(link.handle, 0x08000000u, 256, &block)) {
        printf("%-20s 0x%08X, %u bytes:", "memory", block.address, block.length);
        for (i = 0; i < block.length && i < 16; ++i) printf(" %02X", block.data[i]);
        printf(" ...\n");
    } else if (status == 0) {
        fprintf(stderr, "read failed: error %u\n", kvat_last_error(link.handle));
        status = 1;
    }

    if (write(link.stop_pipe[1], "", 1) != 1) perror("stop");
    pthread_join(thread, NULL);
    close(link.stop_pipe[0]);
    close(link.stop_pipe[1]);
    kvat_destroy(link.handle);
    close(link.fd);
    return status;
}
