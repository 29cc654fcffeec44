// Scratch folders and sample records for the station-record tests.
#pragma once

#include "host/records/record_ids.h"
#include "host/records/unit_db.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace kelvra::records::test {

namespace fs = std::filesystem;

class Scratch {
public:
    Scratch() {
        static int counter = 0;
        dir_ = fs::temp_directory_path() / ("kvat_records_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::permissions(dir_, fs::perms::all);  // a child that is not root may write here
    }
    ~Scratch() {
        std::error_code ignored;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
        for (const auto &e : fs::recursive_directory_iterator(dir_, ignored)) {
            fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
        fs::remove_all(dir_, ignored);
    }
    std::string path(const std::string &name) const { return (dir_ / name).string(); }
    const fs::path &dir() const { return dir_; }

private:
    fs::path dir_;
};

inline std::string file_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline RunRow sample_run(const std::string &station = "st1") {
    RunRow r;
    r.run_id = NewUuid();
    r.start_record_id = NewUuid();
    r.station = station;
    r.script = "line1.kvatscript";
    r.script_sha256 = std::string(64, 'a');
    r.started = UtcNow();
    return r;
}

inline UnitRow sample_unit(const RunRow &run, int n, std::int32_t result = 0) {
    UnitRow u;
    u.record_id = NewUuid();
    u.run_id = run.run_id;
    u.station = run.station;
    u.script = run.script;
    u.script_sha256 = run.script_sha256;
    u.port = "ttyKV" + std::to_string(n);
    u.writer_serial = "KVSIM000" + std::to_string(n);
    u.writer_type = "KVR4";
    u.hw_version = "V2.1";
    u.bootloader_version = "V1.3";
    u.fw_version = "V1.0";
    u.chip_id = "c0ffee" + std::to_string(n);
    u.unit_serial = std::to_string(1000 + n);
    u.image_sha256 = {std::string(64, 'b'), std::string(64, 'c')};
    u.result = result;
    u.message = result == 0 ? "None error" : "Erase failed";
    u.failed_step = result == 0 ? 0 : 2;
    u.failed_command = result == 0 ? "" : "-erase -t 5000";
    u.verified = result == 0;
    u.bytes_written = 65536;
    u.bytes_read = 16;
    u.started = UtcStamp(std::chrono::system_clock::now() + std::chrono::milliseconds(n));
    u.ended = u.started;
    u.duration_ms = 100 + n;
    return u;
}

// Writes a station database: one ended run with `units` units.
inline std::vector<UnitRow> fill_station(const std::string &path, const std::string &station, int units) {
    auto db = UnitDb::Open(path);
    const RunRow run = sample_run(station);
    db->BeginRun(run);
    std::vector<UnitRow> rows;
    for (int i = 0; i < units; ++i) {
        rows.push_back(sample_unit(run, i, i % 5 == 4 ? 1004 : 0));
        db->AddUnit(rows.back());
    }
    db->EndRun(run.run_id, NewUuid(), UtcNow(), 1, false);
    return rows;
}

// Runs `fn` in a child process as a user that is not root (nobody), for permission checks
// that root would pass; returns what it returned.
inline std::string as_unprivileged(const std::function<std::string()> &fn) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return "no pipe";
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) std::_Exit(3);
        const std::string text = fn();
        const ssize_t written = write(pipe_fds[1], text.data(), text.size());
        std::_Exit(written == static_cast<ssize_t>(text.size()) ? 0 : 4);
    }
    close(pipe_fds[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed: " + std::to_string(status);
    return text;
}

}  // namespace kelvra::records::test
