// Generates an Intel HEX and an S-record file holding 16 MiB of data (and a HEX whose second
// block sits 384 MiB away), then loads each in a child process and converts it to binary with
// srec_cat and objcopy, printing wall time and peak resident memory of every run.
//
//   bench_images [--mib N] [--dir FOLDER] [--runs N]
//   bench_images --load FILE FW      (child mode: one load, exit 0 on success)
#include "host/files/code_file.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using kelvra::files::open_image;

constexpr std::uint32_t kFlashBase = 0x08000000;
constexpr std::uint32_t kOptionBytes = 0x1FFFF800;
constexpr std::size_t kRecordBytes = 32;

class line_writer {
public:
    explicit line_writer(const std::string &path) : file_(std::fopen(path.c_str(), "wb")) {
        if (file_ == nullptr) {
            std::perror(path.c_str());
            std::exit(1);
        }
    }
    ~line_writer() { std::fclose(file_); }
    line_writer(const line_writer &) = delete;
    line_writer &operator=(const line_writer &) = delete;

    // `lead`, the bytes and the checksum as hex pairs, then a line break.
    void record(const char *lead, const std::vector<std::uint8_t> &bytes, std::uint8_t checksum) {
        static const char digits[] = "0123456789ABCDEF";
        line_.assign(lead);
        for (const std::uint8_t b : bytes) {
            line_ += digits[b >> 4];
            line_ += digits[b & 15];
        }
        line_ += digits[checksum >> 4];
        line_ += digits[checksum & 15];
        line_ += '\n';
        std::fwrite(line_.data(), 1, line_.size(), file_);
    }

private:
    std::FILE *file_;
    std::string line_;
};

std::uint8_t byte_sum(const std::vector<std::uint8_t> &bytes) {
    unsigned sum = 0;
    for (const std::uint8_t b : bytes) sum += b;
    return static_cast<std::uint8_t>(sum);
}

void hex_record(line_writer &out, std::uint16_t address, std::uint8_t type, const std::uint8_t *data, std::size_t n) {
    std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(address >> 8),
                                       static_cast<std::uint8_t>(address), type};
    bytes.insert(bytes.end(), data, data + n);
    out.record(":", bytes, static_cast<std::uint8_t>(-byte_sum(bytes)));
}

void hex_data(line_writer &out, std::uint32_t base, const std::vector<std::uint8_t> &data) {
    std::uint32_t upper = 0xFFFFFFFF;
    for (std::size_t at = 0; at < data.size(); at += kRecordBytes) {
        const std::uint32_t address = base + static_cast<std::uint32_t>(at);
        if (address >> 16 != upper) {
            upper = address >> 16;
            const std::uint8_t value[2] = {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)};
            hex_record(out, 0, 4, value, 2);
        }
        hex_record(out, static_cast<std::uint16_t>(address), 0, data.data() + at,
                   std::min(kRecordBytes, data.size() - at));
    }
}

void write_hex(const std::string &path, const std::vector<std::uint8_t> &data, bool with_option_bytes) {
    line_writer out(path);
    hex_data(out, kFlashBase, data);
    if (with_option_bytes) hex_data(out, kOptionBytes, std::vector<std::uint8_t>(16, 0xA5));
    hex_record(out, 0, 1, nullptr, 0);
}

void write_s19(const std::string &path, const std::vector<std::uint8_t> &data) {
    line_writer out(path);
    const std::vector<std::uint8_t> header = {8, 0, 0, 'b', 'e', 'n', 'c', 'h'};
    out.record("S0", header, static_cast<std::uint8_t>(~byte_sum(header)));
    for (std::size_t at = 0; at < data.size(); at += kRecordBytes) {
        const std::size_t n = std::min(kRecordBytes, data.size() - at);
        std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(n + 5), static_cast<std::uint8_t>(at >> 24),
                                           static_cast<std::uint8_t>(at >> 16), static_cast<std::uint8_t>(at >> 8),
                                           static_cast<std::uint8_t>(at)};
        bytes.insert(bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                     data.begin() + static_cast<std::ptrdiff_t>(at + n));
        out.record("S3", bytes, static_cast<std::uint8_t>(~byte_sum(bytes)));
    }
    const std::vector<std::uint8_t> end = {5, 0, 0, 0, 0};
    out.record("S7", end, static_cast<std::uint8_t>(~byte_sum(end)));
}

struct measurement {
    bool ok = false;
    double seconds = 0;
    double cpu_seconds = 0;
    double peak_mib = 0;
};

// Runs `argv` with its output thrown away; wall time and the child's peak resident set.
measurement run_child(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    measurement m;
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    m.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
    const auto seconds_of = [](const timeval &t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    m.cpu_seconds = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
    return m;
}

measurement best_of(int runs, const std::vector<std::string> &argv) {
    measurement best;
    for (int i = 0; i < runs; ++i) {
        const measurement m = run_child(argv);
        if (i == 0 || m.seconds < best.seconds) best = m;
        if (!m.ok) return m;
    }
    return best;
}

bool have_tool(const std::string &tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

void report(const std::string &file, const std::string &what, const measurement &m, double data_mib) {
    if (!m.ok) {
        std::printf("%-26s %-34s failed\n", file.c_str(), what.c_str());
        return;
    }
    std::printf("%-26s %-32s %7.3f s wall %7.3f s cpu %8.1f MiB peak %6.2fx data\n", file.c_str(), what.c_str(),
                m.seconds, m.cpu_seconds, m.peak_mib, m.peak_mib / data_mib);
}

// In a child of its own, so that the children measured later do not inherit its memory.
void generate_files(std::size_t mib, const std::string &hex, const std::string &far, const std::string &s19) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<std::uint8_t> data(mib << 20);
        std::mt19937 random(1);
        for (auto &b : data) b = static_cast<std::uint8_t>(random());
        write_hex(hex, data, false);
        write_hex(far, data, true);
        write_s19(s19, data);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
}

int load_once(const char *path, const char *fw) {
    const auto image = open_image(path, std::atoi(fw));
    return image && !image->data.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::string(argv[1]) == "--load") return load_once(argv[2], argv[3]);
    std::size_t mib = 16;
    int runs = 3;
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kelvra_bench_images_" + std::to_string(getpid()));
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--mib") mib = std::strtoul(argv[i + 1], nullptr, 10);
        if (option == "--dir") dir = argv[i + 1];
        if (option == "--runs") runs = std::atoi(argv[i + 1]);
    }
    std::filesystem::create_directories(dir);
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();

    const std::string hex = (dir / "flash.hex").string();
    const std::string far = (dir / "flash_and_option_bytes.hex").string();
    const std::string s19 = (dir / "flash.s19").string();
    generate_files(mib, hex, far, s19);
    const double data_mib = static_cast<double>(mib);
    const std::string out = (dir / "out.bin").string();
    std::printf("data: %zu MiB; best of %d runs; peak = maximum resident set of the process\n\n", mib, runs);

    report("flash.hex", "kelvra load, block 0", best_of(runs, {self, "--load", hex, "0"}), data_mib);
    report("flash.hex", "kelvra load, all", best_of(runs, {self, "--load", hex, "-1"}), data_mib);
    if (have_tool("srec_cat")) {
        report("flash.hex", "srec_cat -> binary",
               best_of(runs, {"srec_cat", hex, "-intel", "-offset", "-0x08000000", "-o", out, "-binary"}), data_mib);
    }
    if (have_tool("objcopy")) {
        report("flash.hex", "objcopy -> binary", best_of(runs, {"objcopy", "-I", "ihex", "-O", "binary", hex, out}),
               data_mib);
    }
    report("flash.s19", "kelvra load", best_of(runs, {self, "--load", s19, "0"}), data_mib);
    if (have_tool("srec_cat")) {
        report("flash.s19", "srec_cat -> binary", best_of(runs, {"srec_cat", s19, "-motorola", "-o", out, "-binary"}),
               data_mib);
    }
    if (have_tool("objcopy")) {
        report("flash.s19", "objcopy -> binary", best_of(runs, {"objcopy", "-I", "srec", "-O", "binary", s19, out}),
               data_mib);
    }
    report("flash_and_option_bytes.hex", "kelvra load, block 0", best_of(runs, {self, "--load", far, "0"}), data_mib);
    report("flash_and_option_bytes.hex", "kelvra load, block 1", best_of(runs, {self, "--load", far, "1"}), data_mib);
    report("flash_and_option_bytes.hex", "kelvra load, all (384 MiB span)", best_of(1, {self, "--load", far, "-1"}),
           data_mib);

    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
