#include "sim/pty_writer.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <system_error>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace kelvra::sim {

namespace {

constexpr int kIdleMs = 100;  // a pause this long ends a partly received frame
constexpr int kHangUpAfterAnswerMs = 3;

[[noreturn]] void fail(const char *what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void close_fd(int &fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

PtyWriter::PtyWriter(WriterSettings settings, FaultSettings faults)
    : model_(std::move(settings), faults) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_ < 0) fail("posix_openpt");
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        const int saved = errno;
        close_fd(master_);
        errno = saved;
        fail("pty slave");
    }
    device_ = name;
    // Raw mode on the slave from the start: a cooked, echoing line would send the writer its
    // own answers back before the host had a chance to configure the port.
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (slave_ < 0 || tcgetattr(slave_, &tio) != 0) {
        const int saved = errno;
        close_fd(slave_);
        close_fd(master_);
        errno = saved;
        fail("pty slave open");
    }
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        close_fd(slave_);
        close_fd(master_);
        fail("pipe");
    }
    thread_ = std::thread([this] { serve(); });
}

PtyWriter::~PtyWriter() {
    if (wake_[1] >= 0) {
        const char stop = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_[1], &stop, 1);
    }
    if (thread_.joinable()) thread_.join();
    close_line();
    close_fd(wake_[0]);
    close_fd(wake_[1]);
}

void PtyWriter::HangUp() {
    hang_up_.store(true);
    const char byte = 'h';
    [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
}

void PtyWriter::close_line() {
    std::lock_guard<std::mutex> lock(mutex_);
    close_fd(master_);
    close_fd(slave_);
    alive_ = false;
}

// Waits up to `timeout_ms` for a stop request; true when one came.
bool PtyWriter::wait_or_stop(int timeout_ms) {
    pollfd p{wake_[0], POLLIN, 0};
    return ::poll(&p, 1, timeout_ms) > 0;
}

void PtyWriter::log_failure(const char *what) const {
    std::fprintf(stderr, "virtual writer %s: request dropped: %s\n", device_.c_str(), what);
}

bool PtyWriter::write_reply(const Reply &reply) {
    if (reply.delay_ms > 0 && wait_or_stop(static_cast<int>(reply.delay_ms))) return false;
    if (reply.delay_us > 0) {
        pollfd p{wake_[0], POLLIN, 0};
        const timespec wait{static_cast<time_t>(reply.delay_us / 1000000u),
                            static_cast<long>(reply.delay_us % 1000000u) * 1000L};
        if (::ppoll(&p, 1, &wait, nullptr) > 0) return false;
    }
    const size_t piece = reply.split == 0 ? reply.bytes.size() : reply.split;
    size_t done = 0;
    while (done < reply.bytes.size()) {
        const size_t want = std::min(piece, reply.bytes.size() - done);
        size_t sent = 0;
        while (sent < want) {
            const ssize_t n = ::write(master_, reply.bytes.data() + done + sent, want - sent);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            // The host is not reading; wait for room, or for a stop.
            pollfd p[2] = {{master_, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
            if (::poll(p, 2, 1000) < 0 && errno != EINTR) return false;
            if (p[1].revents != 0) return false;
        }
        done += want;
        // Pieces of a split answer reach the host as separate reads.
        if (reply.split != 0 && done < reply.bytes.size() && wait_or_stop(2)) return false;
    }
    return true;
}

void PtyWriter::serve() {
    uint8_t buf[4096];
    for (;;) {
        pollfd p[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int ready = ::poll(p, 2, kIdleMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents != 0) {
            if (hang_up_.load()) close_line();
            return;
        }
        if (ready == 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (model_.has_partial()) model_.drop_partial();
            continue;
        }
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            // EIO only comes when no slave is open, which our own slave fd prevents; anything
            // else means the line is unusable.
            if (wait_or_stop(10)) return;
            continue;
        }
        std::vector<Reply> replies;
        bool gone = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // One bad request must not end the thread: an escaping exception would terminate
            // the whole process and every other writer in it. The request that threw is gone;
            // the requests queued behind it are answered by the next round.
            size_t fresh = static_cast<size_t>(n);
            for (;;) {
                try {
                    model_.receive(buf, fresh, replies);
                    break;
                } catch (const std::exception &e) {
                    log_failure(e.what());
                } catch (...) {
                    log_failure("unknown exception");
                }
                fresh = 0;  // the model holds the bytes already
            }
            gone = model_.gone();
        }
        for (const Reply &reply : replies) {
            if (!write_reply(reply)) return;
        }
        if (gone) {
            // Unplugged just after an answer: the host has read that answer by the time it
            // sees the hang-up.
            if (!replies.empty() && wait_or_stop(kHangUpAfterAnswerMs)) return;
            close_line();  // the host sees a hang-up, as after an unplug
            return;
        }
    }
}

VirtualWriterPool::VirtualWriterPool(const Options &options) {
    namespace fs = std::filesystem;
    if (!options.link_dir.empty()) fs::create_directories(options.link_dir);
    try {
        for (size_t i = 0; i < options.count; ++i) {
            WriterSettings settings = options.settings;
            char serial[32];
            std::snprintf(serial, sizeof serial, "%s%04zu", options.serial_prefix.c_str(), i);
            settings.serial_number = serial;
            const bool faulty = !options.fault_writer || *options.fault_writer == i;
            FaultSettings faults = faulty ? options.faults : FaultSettings{};
            if (const auto own = options.writer_faults.find(i); own != options.writer_faults.end()) faults = own->second;
            writers_.push_back(std::make_unique<PtyWriter>(settings, faults));
            if (options.link_dir.empty()) continue;
            const fs::path link = options.link_dir / link_name(i);
            std::error_code ec;
            // A link left behind by an earlier run is replaced; anything else is not ours.
            if (fs::is_symlink(fs::symlink_status(link, ec))) fs::remove(link, ec);
            fs::create_symlink(writers_.back()->device_path(), link);
            links_.push_back(link);
        }
    } catch (...) {
        for (const auto &link : links_) {
            std::error_code ec;
            fs::remove(link, ec);
        }
        throw;
    }
}

VirtualWriterPool::~VirtualWriterPool() {
    writers_.clear();
    for (const auto &link : links_) {
        std::error_code ec;
        std::filesystem::remove(link, ec);
    }
}

std::vector<std::string> VirtualWriterPool::link_paths() const {
    std::vector<std::string> paths;
    for (const auto &link : links_) paths.push_back(link.string());
    return paths;
}

TemporaryWriterPool::TemporaryWriterPool(VirtualWriterPool::Options options, const std::string &prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "cannot make a folder for the virtual writers");
    }
    dir_ = pattern;
    options.link_dir = dir_;
    try {
        pool_ = std::make_unique<VirtualWriterPool>(options);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        throw;
    }
}

TemporaryWriterPool::~TemporaryWriterPool() {
    pool_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

}  // namespace kelvra::sim
