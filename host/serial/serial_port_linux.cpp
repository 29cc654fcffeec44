// The channel on Linux: termios for the line, poll for the event thread.
#include "host/serial/serial_baud_linux.h"
#include "host/serial/serial_port.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kelvra::serial {
namespace {

constexpr int kWriteStallMs = 5000;  // a write that makes no progress this long fails

void close_fd(int &fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool wait_fd(int fd, short events, int timeout_ms) {
    pollfd p{fd, events, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    return r > 0 && (p.revents & events) != 0;
}

tcflag_t size_flag(int data_bits) {
    switch (data_bits) {
        case 5: return CS5;
        case 6: return CS6;
        case 7: return CS7;
        default: return CS8;
    }
}

}  // namespace

struct CSerialPort::OsPart {
    int fd = -1;
    int wake[2] = {-1, -1};  // a byte on the pipe stops the event thread
};

CSerialPort::CSerialPort() : os_(std::make_unique<OsPart>()) {}

CSerialPort::~CSerialPort() {
    Close();
    // Only when the port is destroyed from inside its own notification is the thread still
    // running here; it ends on its own once the notification returns.
    if (thread_.joinable()) thread_.detach();
}

bool CSerialPort::Configure() {
    termios tio{};
    if (tcgetattr(os_->fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | size_flag(data_bits_);
    if (parity_ != Parity::None) tio.c_cflag |= PARENB;
    if (parity_ == Parity::Odd) tio.c_cflag |= PARODD;
    if (stop_bits_ == StopBits::Two) tio.c_cflag |= CSTOPB;
    if (flow_ == FlowControl::Hardware) tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (flow_ == FlowControl::Software) tio.c_iflag |= IXON | IXOFF;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetspeed(&tio, B115200);  // replaced by the exact rate below
    if (tcsetattr(os_->fd, TCSANOW, &tio) != 0) return false;
    return detail::linux_set_baud(os_->fd, baud_rate_);
}

bool CSerialPort::Open() {
    if (IsOpen()) return true;
    if (thread_.joinable()) {
        // The event thread of an earlier session ends once its notification returns.
        if (std::this_thread::get_id() == thread_.get_id()) return false;
        thread_.join();
    }
    std::lock_guard<std::mutex> lock(lock_);
    open_error_.clear();
    open_denied_ = false;
    os_->fd = ::open(device_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (os_->fd < 0) {
        const int error = errno;
        if (error == EBUSY) return OpenFailed("held by another program");
        return OpenFailed(std::strerror(error), error == EACCES || error == EPERM);
    }
    // Exclusive: TIOCEXCL keeps other openers out, the lock also keeps out other processes
    // running as root (which TIOCEXCL lets through).
    std::string why;
    if (isatty(os_->fd) != 1) {
        why = "not a terminal device";
    } else if (::flock(os_->fd, LOCK_EX | LOCK_NB) != 0) {
        why = errno == EWOULDBLOCK ? "held by another program" : std::strerror(errno);
    } else if (ioctl(os_->fd, TIOCEXCL) != 0) {
        why = std::strerror(errno);
    } else if (!Configure()) {
        why = "its line settings could not be set";
    } else if (tcflush(os_->fd, TCIOFLUSH) != 0 || pipe2(os_->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        why = std::strerror(errno);
    }
    if (!why.empty()) {
        close_fd(os_->wake[0]);
        close_fd(os_->wake[1]);
        close_fd(os_->fd);
        return OpenFailed(why);
    }
    running_ = true;
    thread_ = std::thread([this] { EventLoop(); });
    return true;
}

bool CSerialPort::IsOpen() const {
    std::lock_guard<std::mutex> lock(lock_);
    return os_->fd >= 0;
}

void CSerialPort::StopEventThread() {
    running_ = false;
    if (os_->wake[1] >= 0) {
        [[maybe_unused]] ssize_t n = ::write(os_->wake[1], "x", 1);
    }
    if (thread_.joinable() && std::this_thread::get_id() != thread_.get_id()) thread_.join();
}

void CSerialPort::Close() {
    if (!IsOpen()) return;
    StopEventThread();
    std::lock_guard<std::mutex> lock(lock_);
    if (os_->fd >= 0) {
        tcflush(os_->fd, TCIOFLUSH);
        ioctl(os_->fd, TIOCNXCL);
    }
    close_fd(os_->fd);
    close_fd(os_->wake[0]);
    close_fd(os_->wake[1]);
}

int CSerialPort::ReadAll(std::vector<uint8_t> &out) {
    std::lock_guard<std::mutex> lock(lock_);
    if (os_->fd < 0) return -1;
    int total = 0;
    uint8_t buf[4096];
    for (;;) {
        const ssize_t n = ::read(os_->fd, buf, sizeof buf);
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
            total += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return total > 0 ? total : -1;
        return total;
    }
}

int CSerialPort::Write(const uint8_t *data, size_t count) {
    std::lock_guard<std::mutex> lock(lock_);
    if (os_->fd < 0 || (data == nullptr && count > 0)) return -1;
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(os_->fd, data + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN && wait_fd(os_->fd, POLLOUT, kWriteStallMs)) continue;
        return -1;  // unplugged, or the device took nothing for too long
    }
    if (tcdrain(os_->fd) != 0) return -1;
    return static_cast<int>(done);
}

bool CSerialPort::SetBaudRate(int baud_rate) {
    std::lock_guard<std::mutex> lock(lock_);
    baud_rate_ = baud_rate;
    return os_->fd < 0 || detail::linux_set_baud(os_->fd, baud_rate);
}

int CSerialPort::ActualBaudRate() {
    std::lock_guard<std::mutex> lock(lock_);
    return os_->fd < 0 ? 0 : detail::linux_get_baud(os_->fd);
}

void CSerialPort::EventLoop() {
    int fd, wake;
    {
        std::lock_guard<std::mutex> lock(lock_);
        fd = os_->fd;
        wake = os_->wake[0];
    }
    std::string name = DevicePortName();
    bool lost = false;
    while (running_) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            lost = true;
            break;
        }
        if (!running_ || p[1].revents != 0) break;
        if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            // An answer that came in just before the device went away is still delivered.
            int pending = 0;
            if ((p[0].revents & POLLIN) && ioctl(fd, FIONREAD, &pending) == 0 && pending > 0) {
                DataReady.emit(name);
            }
            lost = true;
            break;
        }
        if ((p[0].revents & POLLIN) == 0) continue;
        int queued = 0;
        if (ioctl(fd, FIONREAD, &queued) != 0) {
            lost = true;
            break;
        }
        if (queued == 0) {
            // Readable with nothing queued (a line-state change): a hang-up shows up as
            // POLLHUP on the next round; back off so this cannot spin.
            if (wait_fd(wake, POLLIN, 1)) break;
            continue;
        }
        DataReady.emit(name);
        // A listener that left the bytes queued must not make this loop spin.
        int after = 0;
        if (running_ && ioctl(fd, FIONREAD, &after) == 0 && after >= queued && wait_fd(wake, POLLIN, 2)) break;
    }
    if (lost && running_) PortLost.emit(name);
}

}  // namespace kelvra::serial
