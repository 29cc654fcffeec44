#include "host/platform/platform.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
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

namespace {
class PosixFileLock final : public FileLock {
public:
    explicit PosixFileLock(int fd) : fd_(fd) {}
    ~PosixFileLock() override {
        flock(fd_, LOCK_UN);
        close(fd_);
    }

private:
    int fd_;
};
}  // namespace

std::unique_ptr<FileLock> LockFile(const std::string &path, unsigned timeout_ms, std::string &error) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return std::make_unique<PosixFileLock>(fd);
        if (errno != EWOULDBLOCK && errno != EINTR) {
            error = std::strerror(errno);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            error = "locked by another program for " + std::to_string(timeout_ms / 1000.0).substr(0, 3) + " s";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    close(fd);
    return nullptr;
}

long ProcessId() { return static_cast<long>(getpid()); }

bool ProcessAlive(long pid) {
    if (pid <= 0) return false;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace kelvra::platform
