// Virtual writers, a scratch folder and the kvat tool run from the scripts folder: what the
// kvat run tests share.
#pragma once

#include "sim/pty_writer.h"
#include "verb_runner.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>

namespace kvat::cli::test {

namespace fs = std::filesystem;

struct Result {
    int exit_code = -1;
    std::string out;
    std::string err;
};

// Writers, a scratch folder and the tool, run from the scripts folder.
class Bench {
public:
    explicit Bench(std::size_t writers, kelvra::sim::FaultSettings faults = {},
                   std::optional<std::size_t> fault_writer = std::nullopt) {
        static int counter = 0;  // one test binary, one thread
        dir_ = fs::temp_directory_path() / ("kvat_run_verb_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "sys");
        if (writers > 0) {
            kelvra::sim::VirtualWriterPool::Options options;
            options.count = writers;
            options.link_dir = dir_ / "links";
            options.faults = faults;
            options.fault_writer = fault_writer;
            pool_ = std::make_unique<kelvra::sim::VirtualWriterPool>(options);
        }
    }
    ~Bench() {
        pool_.reset();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string ports() const {
        std::string args;
        for (std::size_t i = 0; pool_ && i < pool_->size(); ++i) args += " --port " + pool_->link(i).string();
        return args;
    }
    fs::path out() const { return dir_ / "out"; }

    // `environment`: "NAME=value …" set for the tool alone.
    Result run(const std::string &arguments, const std::string &environment = "") const {
        const std::string out_file = (dir_ / "stdout").string();
        const std::string err_file = (dir_ / "stderr").string();
        const std::string command = "cd " KVAT_RUN_SCRIPTS " && " + (environment.empty() ? "" : "env " + environment + " ") +
                                    KVAT_EXE " " + arguments + ports() +
                                    " >" + out_file + " 2>" + err_file;
        const int status = std::system(command.c_str());
        Result r;
        r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = mask(read_file(out_file));
        r.err = mask(read_file(err_file));
        return r;
    }

    // Time stamps and scratch paths vary from run to run.
    std::string mask(std::string text) const {
        text = std::regex_replace(text, std::regex(dir_.string()), "<DIR>");
        text = std::regex_replace(text, std::regex(R"(\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d)"), "<STAMP>");
        text = std::regex_replace(text, std::regex(R"((^|\n|")\d\d:\d\d:\d\d)"), "$1hh:mm:ss");
        text = std::regex_replace(text, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)"), "<UTC>");
        text = std::regex_replace(text, std::regex(R"("duration_ms":\d+)"), "\"duration_ms\":-1");
        return text;
    }

    std::string run_log() const {
        // log/ also holds the unit database (and the serial file): the run log is the other .json.
        for (const auto &e : fs::directory_iterator(out() / "log")) {
            if (e.path().extension() == ".json" && e.path().filename() != "serial.json") return read_file(e.path());
        }
        return {};
    }

private:
    fs::path dir_;
    std::unique_ptr<kelvra::sim::VirtualWriterPool> pool_;
};


// Runs `command` in a shell in the background, sends SIGINT `interrupts` times after
// `wait_ms`, and returns its exit status.
inline int interrupt_after(const std::string &command, int wait_ms, int interrupts) {
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    // Back to back: the second arrives before the tool acted on the first.
    for (int i = 0; i < interrupts; ++i) {
        kill(pid, SIGINT);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace kvat::cli::test
