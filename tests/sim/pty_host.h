// A host as a user of the library writes one: opens a serial device in raw mode, writes each
// frame from the write callback and feeds what its reader thread reads.
#pragma once

#include "kelvra_at.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace kvat_test {

class PtyHost {
public:
    explicit PtyHost(const std::string &device, bool encrypted = false) {
        fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("cannot open " + device);
        termios tio{};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        cfsetspeed(&tio, B115200);
        tcsetattr(fd_, TCSANOW, &tio);
        tcflush(fd_, TCIOFLUSH);
        if (pipe2(stop_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        handle = kvat_create(encrypted ? 1 : 0, &PtyHost::write_cb, nullptr, this);
        reader_ = std::thread([this] { read_loop(); });
    }
    ~PtyHost() {
        [[maybe_unused]] ssize_t n = ::write(stop_[1], "x", 1);
        reader_.join();
        kvat_destroy(handle);
        ::close(fd_);
        ::close(stop_[0]);
        ::close(stop_[1]);
    }
    PtyHost(const PtyHost &) = delete;
    PtyHost &operator=(const PtyHost &) = delete;

    // True once the line hung up under the reader (the writer went away).
    bool hung_up() const { return hung_up_.load(); }

    kvat_handle *handle = nullptr;

private:
    static int write_cb(void *user, const uint8_t *frame, uint32_t length, uint32_t) {
        auto *self = static_cast<PtyHost *>(user);
        uint32_t done = 0;
        while (done < length) {
            const ssize_t n = ::write(self->fd_, frame + done, length - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return 0;
            done += static_cast<uint32_t>(n);
        }
        return 1;
    }

    void read_loop() {
        uint8_t buf[1024];
        for (;;) {
            pollfd p[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(p, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (p[1].revents != 0) return;
            if (p[0].revents & (POLLHUP | POLLERR)) {
                hung_up_ = true;
                return;
            }
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) kvat_feed(handle, buf, static_cast<uint32_t>(n));
            if (n == 0 || (n < 0 && errno == EIO)) {
                hung_up_ = true;
                return;
            }
        }
    }

    int fd_ = -1;
    int stop_[2] = {-1, -1};
    std::atomic<bool> hung_up_{false};
    std::thread reader_;
};

}  // namespace kvat_test
