// kvat sim: virtual writers on pseudo-terminals, until interrupted.
#include "cli/verb.h"
#include "sim/pty_writer.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>
#include <optional>
#include <string>

namespace kvat::cli {
namespace {

struct SimOptions {
    size_t count = 1;
    std::string link_dir = "kvat-writers";
    std::string serial_prefix = "KVSIM";
    bool encrypt = false;
    std::string key, iv;
    kelvra::sim::WriterSettings settings;
    kelvra::sim::FaultSettings faults;
    int fault_writer = -1;
    double duration = 0;  // seconds; 0: until interrupted
};

bool parse_hex16(const std::string &text, std::array<uint8_t, 16> &out) {
    if (text.size() != 32) return false;
    for (size_t i = 0; i < 16; ++i) {
        unsigned value = 0;
        if (std::sscanf(text.c_str() + 2 * i, "%2x", &value) != 1) return false;
        out[i] = static_cast<uint8_t>(value);
    }
    return text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

int run(SimOptions &o) {
    if ((!o.key.empty() && !parse_hex16(o.key, o.settings.key)) ||
        (!o.iv.empty() && !parse_hex16(o.iv, o.settings.iv))) {
        std::fprintf(stderr, "kvat sim: --key and --iv take 32 hexadecimal digits\n");
        return kExitUsage;
    }
    o.settings.encrypted = o.encrypt;

    // The writers' threads inherit this mask, so only sigtimedwait below sees the signals.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    kelvra::sim::VirtualWriterPool::Options options;
    options.count = o.count;
    options.link_dir = o.link_dir;
    options.settings = o.settings;
    options.serial_prefix = o.serial_prefix;
    options.faults = o.faults;
    if (o.fault_writer >= 0) options.fault_writer = static_cast<size_t>(o.fault_writer);

    std::unique_ptr<kelvra::sim::VirtualWriterPool> pool;
    try {
        pool = std::make_unique<kelvra::sim::VirtualWriterPool>(options);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kvat sim: %s\n", e.what());
        return kExitInput;
    }

    std::printf("%zu virtual writer%s (%s link, flash 0x%08X + %u bytes):\n", pool->size(),
                pool->size() == 1 ? "" : "s", o.encrypt ? "encrypted" : "plain",
                o.settings.flash_base, o.settings.flash_size);
    std::string ports;
    for (size_t i = 0; i < pool->size(); ++i) {
        std::printf("  %s -> %s  serial %s%04zu\n", pool->link(i).c_str(),
                    pool->writer(i).device_path().c_str(), o.serial_prefix.c_str(), i);
        ports += " --port " + pool->link(i).string();
    }
    std::printf("Use them with: kvat ports%s\n", ports.c_str());
    std::printf("Stop with Ctrl+C.\n");
    std::fflush(stdout);

    timespec wait{};
    timespec *limit = nullptr;
    if (o.duration > 0) {
        wait.tv_sec = static_cast<time_t>(o.duration);
        wait.tv_nsec = static_cast<long>((o.duration - static_cast<double>(wait.tv_sec)) * 1e9);
        limit = &wait;
    }
    while (sigtimedwait(&stop, nullptr, limit) < 0 && errno == EINTR) {
    }
    pool.reset();  // stops the writers and removes the links
    std::printf("Stopped.\n");
    return kExitOk;
}

void setup(CLI::App &app) {
    auto o = std::make_shared<SimOptions>();
    CLI::App *sub = app.add_subcommand("sim", "Start virtual writers on pseudo-terminals");
    sub->add_option("--count,-n", o->count, "Number of writers")->capture_default_str()
        ->check(CLI::Range(1, 64));
    sub->add_option("--link-dir", o->link_dir, "Folder for the links ttyKV0, ttyKV1, ...")
        ->capture_default_str();
    sub->add_option("--serial-prefix", o->serial_prefix, "Serial number prefix")
        ->capture_default_str();
    sub->add_option("--duration", o->duration, "Stop after this many seconds (default: on a signal)");
    sub->add_flag("--encrypt", o->encrypt, "Encrypted links (AES-128-CBC)");
    sub->add_option("--key", o->key, "AES key, 32 hex digits (default: the built-in key)");
    sub->add_option("--iv", o->iv, "AES IV, 32 hex digits (default: the built-in IV)");
    auto *target = "Target";
    sub->add_option("--flash-base", o->settings.flash_base, "Flash base address")
        ->group(target)->capture_default_str();
    sub->add_option("--flash-size", o->settings.flash_size, "Flash size in bytes")
        ->group(target)->capture_default_str()->check(CLI::Range(1u, 64u * 1024 * 1024));
    sub->add_option("--sector-size", o->settings.sector_size, "Sector size in bytes")
        ->group(target)->capture_default_str()->check(CLI::Range(1u, 16u * 1024 * 1024));
    sub->add_option("--offline-polls", o->settings.offline_polls,
                    "RUNNING answers before offline programming ends")->group(target)
        ->capture_default_str();
    sub->add_option("--offline-result", o->settings.offline_result,
                    "Result code offline programming ends with (0: success)")->group(target);
    sub->add_flag("--factory-test", o->settings.factory_test, "Enable the factory-test firmware")
        ->group(target);
    sub->add_option("--service-us", o->settings.service_us,
                    "Microseconds every answer takes, as a writer's own processing")->group(target)
        ->check(CLI::Range(0u, 10000000u));
    auto *faults = "Faults";
    sub->add_option("--fault-code", o->faults.code, "Faults apply to answers to this request code only")
        ->group(faults);
    sub->add_option("--fault-nack", o->faults.nack, "Answer with NACK and this result code")->group(faults);
    sub->add_flag("--fault-silent", o->faults.silent, "Never answer")->group(faults);
    sub->add_flag("--fault-silent-once", o->faults.silent_once, "Drop the first answer")->group(faults);
    sub->add_option("--fault-late", o->faults.late_ms, "Answer this many milliseconds late")->group(faults);
    sub->add_flag("--fault-corrupt-crc", o->faults.corrupt_crc, "Corrupt the CRC of answers")->group(faults);
    sub->add_option("--fault-garbage", o->faults.garbage, "Garbage bytes in front of answers")
        ->group(faults)->check(CLI::Range(0u, 1024u));
    sub->add_option("--fault-split", o->faults.split, "Write answers in pieces of this many bytes")
        ->group(faults);
    sub->add_option("--fault-disappear-after", o->faults.disappear_after,
                    "Close the line after this many request frames")->group(faults);
    sub->add_option("--fault-writer", o->fault_writer, "Faults for this writer index only")
        ->group(faults);
    sub->add_option("--fault-flip-bit", o->faults.flip_bit,
                    "Store the byte at this address with its lowest bit inverted (and say ACK)")
        ->group(faults);
    sub->add_option("--fault-drop-chunk", o->faults.drop_chunk,
                    "Acknowledge the n-th write chunk (from 1) without storing it")->group(faults);
    sub->add_option("--fault-nth", o->faults.only_nth,
                    "Faults for the n-th matching request only (default: every one)")->group(faults);
    sub->callback([o] { set_exit_code(run(*o)); });
}

const bool registered = register_verb("sim", setup);

}  // namespace
}  // namespace kvat::cli
