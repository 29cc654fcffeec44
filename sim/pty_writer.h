// Virtual writers on pseudo-terminals: each serves the master side of a pty on a thread of
// its own, reading requests and writing answers as a device would, so any host can open the
// slave side like a serial port. A request whose handling throws is logged to stderr and
// dropped without an answer; the writer goes on serving.
#pragma once

#include "sim/virtual_writer.h"

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kelvra::sim {

class PtyWriter {
public:
    // Opens the pty and starts serving. Throws std::system_error when no pty can be had.
    PtyWriter(WriterSettings settings, FaultSettings faults = {});
    ~PtyWriter();
    PtyWriter(const PtyWriter &) = delete;
    PtyWriter &operator=(const PtyWriter &) = delete;

    // The slave device, e.g. /dev/pts/7.
    const std::string &device_path() const { return device_; }
    // False once the writer disappeared (fault) and closed its line.
    bool alive() const { return alive_.load(); }
    // Closes the line now, as an unplug would; the host sees a hang-up.
    void HangUp();

    // Runs `fn` on the model under the writer's lock (for tests and diagnostics).
    template <typename Fn>
    auto inspect(Fn &&fn) {
        std::lock_guard<std::mutex> lock(mutex_);
        return fn(static_cast<const VirtualWriter &>(model_));
    }

private:
    void serve();
    bool write_reply(const Reply &reply);
    bool wait_or_stop(int timeout_ms);
    void log_failure(const char *what) const;
    void close_line();

    VirtualWriter model_;
    std::mutex mutex_;
    int master_ = -1;
    int slave_ = -1;  // held open so the master never sees a hang-up between host sessions
    int wake_[2] = {-1, -1};
    std::string device_;
    std::atomic<bool> alive_{true};
    std::atomic<bool> hang_up_{false};
    std::thread thread_;
};

// N virtual writers, each named by a stable link <dir>/ttyKV<i> to its pty. Writer i has the
// serial number <prefix><i, four digits>. The links are removed when the pool ends.
class VirtualWriterPool {
public:
    struct Options {
        size_t count = 1;
        std::filesystem::path link_dir;
        WriterSettings settings;
        std::string serial_prefix = "KVSIM";
        FaultSettings faults;
        std::optional<size_t> fault_writer;  // faults for this writer only; none: all writers
        std::map<size_t, FaultSettings> writer_faults;  // faults of single writers, over `faults`
    };

    explicit VirtualWriterPool(const Options &options);
    ~VirtualWriterPool();
    VirtualWriterPool(const VirtualWriterPool &) = delete;
    VirtualWriterPool &operator=(const VirtualWriterPool &) = delete;

    size_t size() const { return writers_.size(); }
    const std::filesystem::path &link(size_t i) const { return links_.at(i); }
    PtyWriter &writer(size_t i) { return *writers_.at(i); }

    static std::string link_name(size_t i) { return "ttyKV" + std::to_string(i); }
    // Every link, as the ports a scan is given.
    std::vector<std::string> link_paths() const;

private:
    std::vector<std::unique_ptr<PtyWriter>> writers_;
    std::vector<std::filesystem::path> links_;
};

// A pool whose links live in a fresh temporary folder (<tmp>/<prefix>-XXXXXX) that goes with
// it: virtual writers started inside a program. Throws std::system_error when no folder or
// pseudo-terminal can be had.
class TemporaryWriterPool {
public:
    TemporaryWriterPool(VirtualWriterPool::Options options, const std::string &prefix);
    ~TemporaryWriterPool();
    TemporaryWriterPool(const TemporaryWriterPool &) = delete;
    TemporaryWriterPool &operator=(const TemporaryWriterPool &) = delete;

    VirtualWriterPool &pool() { return *pool_; }
    std::vector<std::string> link_paths() const { return pool_->link_paths(); }
    // The temporary folder that holds the links (removed with the pool).
    const std::filesystem::path &dir() const { return dir_; }

private:
    std::filesystem::path dir_;
    std::unique_ptr<VirtualWriterPool> pool_;
};

}  // namespace kelvra::sim
