// kvat run keeps a unit database; kvat history reads it back as the run reported it.
#include "sim/pty_writer.h"
#include "verb_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using kvat::cli::test::read_file;

struct Result {
    int exit_code = -1;
    std::string out;
    std::string err;
};

class Station {
public:
    explicit Station(std::size_t writers, std::map<std::size_t, kelvra::sim::FaultSettings> faults = {}) {
        static int counter = 0;
        dir_ = fs::temp_directory_path() / ("kvat_history_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        kelvra::sim::VirtualWriterPool::Options options;
        options.count = writers;
        options.link_dir = dir_ / "links";
        options.writer_faults = std::move(faults);
        pool_ = std::make_unique<kelvra::sim::VirtualWriterPool>(options);
    }
    ~Station() {
        pool_.reset();
        std::error_code ignored;
        fs::permissions(dir_ / "ro", fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(dir_, ignored);
    }
    std::string ports() const {
        std::string args;
        for (std::size_t i = 0; i < pool_->size(); ++i) args += " --port " + pool_->link(i).string();
        return args;
    }
    fs::path out() const { return dir_ / "out"; }
    std::string db() const { return (out() / "log" / "units.db").string(); }
    fs::path dir() const { return dir_; }

    // kvat with `arguments` from the scripts folder; `writers` adds the writers' ports.
    Result kvat(const std::string &arguments, bool writers = false) const {
        const std::string out_file = (dir_ / "stdout").string();
        const std::string err_file = (dir_ / "stderr").string();
        const std::string command = "cd " KVAT_RUN_SCRIPTS " && " KVAT_EXE " " + arguments +
                                    (writers ? ports() : "") + " >" + out_file + " 2>" + err_file;
        const int status = std::system(command.c_str());
        Result r;
        r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = read_file(out_file);
        r.err = read_file(err_file);
        return r;
    }
    Result run(const std::string &arguments) const {
        return kvat("run " + arguments + " --out " + out().string(), true);
    }

private:
    fs::path dir_;
    std::unique_ptr<kelvra::sim::VirtualWriterPool> pool_;
};

std::vector<nlohmann::json> json_lines(const std::string &text, const char *event = nullptr) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        auto value = nlohmann::json::parse(line);
        if (event == nullptr || value.value("event", "") == event) lines.push_back(value);
    }
    return lines;
}

std::size_t line_count(const std::string &text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

TEST(KvatHistory, ListsEveryUnitAsTheRunReportedIt) {
    Station station(3, {{1, {.code = AT_CODE_TARGET_ERASE, .nack = KVAT_ERR_TARGET_ERASE}}});
    const Result run = station.run("erase.kvatscript --json --station line-7");
    EXPECT_EQ(run.exit_code, 1) << run.err;
    const auto ends = json_lines(run.out, "port_done");
    ASSERT_EQ(ends.size(), 3u);
    const Result history = station.kvat("history --json --db " + station.db());
    EXPECT_EQ(history.exit_code, 0) << history.err;
    const auto units = json_lines(history.out);
    ASSERT_EQ(units.size(), 3u);
    // Every member of each port_done event is in its record, with the same value.
    for (const auto &end : ends) {
        const auto record = std::find_if(units.begin(), units.end(), [&](const auto &u) { return u["port"] == end["port"]; });
        ASSERT_NE(record, units.end()) << end.dump();
        for (const auto &[member, value] : end.items()) {
            if (member == "event") continue;
            EXPECT_EQ((*record)[member], value) << member << " of " << end["port"];
        }
        EXPECT_EQ((*record)["station"], "line-7");
        EXPECT_EQ((*record)["script"], "erase.kvatscript");
        EXPECT_EQ((*record)["script_sha256"].get<std::string>().size(), 64u);
        EXPECT_EQ((*record)["writer_type"], "KVR4");
    }
    // Newest first.
    for (std::size_t i = 1; i < units.size(); ++i) EXPECT_GE(units[i - 1]["started"], units[i]["started"]);

    const Result failed = station.kvat("history --failed --json --db " + station.db());
    const auto bad = json_lines(failed.out);
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_EQ(bad[0]["writer_serial"], "KVSIM0001");
    EXPECT_EQ(bad[0]["failed_step"], 2);
    EXPECT_EQ(bad[0]["failed_command"], "-erase -t 5000");
    EXPECT_EQ(line_count(station.kvat("history --writer KVSIM0002 --json --db " + station.db()).out), 1u);
    EXPECT_EQ(line_count(station.kvat("history --since 1h --json --db " + station.db()).out), 3u);
    EXPECT_EQ(line_count(station.kvat("history --since 2999-01-01 --json --db " + station.db()).out), 0u);

    const Result table = station.kvat("history --db " + station.db());
    EXPECT_EQ(line_count(table.out), 4u) << table.out;
    EXPECT_EQ(table.out.rfind("STARTED (UTC)", 0), 0u) << table.out;
    EXPECT_NE(table.out.find("failed (" + std::to_string(KVAT_ERR_TARGET_ERASE) + ") at step 2"), std::string::npos)
        << table.out;
    const Result csv = station.kvat("history --csv --db " + station.db());
    EXPECT_EQ(line_count(csv.out), 4u);
    EXPECT_EQ(csv.out.rfind("record_id,run_id,station,script,script_sha256,port,result,writer_serial", 0), 0u);

    const Result summary = station.kvat("history --summary --json --db " + station.db());
    for (const auto &row : json_lines(summary.out)) {
        if (row["by"] == "script") {
            EXPECT_EQ(row["units"], 3);
            EXPECT_EQ(row["passed"], 2);
            EXPECT_EQ(row["failed"], 1);
        }
        if (row["by"] == "writer" && row["name"] == "KVSIM0001") {
            EXPECT_EQ(row["first_pass_yield"], 0.0);
        }
    }
    // A second run: the same units again, newest first; the last run alone.
    EXPECT_EQ(station.run("erase.kvatscript --station line-7").exit_code, 1);
    EXPECT_EQ(line_count(station.kvat("history --json --db " + station.db()).out), 6u);
    const auto last = json_lines(station.kvat("history --run last --json --db " + station.db()).out);
    ASSERT_EQ(last.size(), 3u);
    EXPECT_NE(last[0]["run_id"], units[0]["run_id"]);
}

TEST(KvatHistory, ADatabaseLeftByAKilledRunReadsWithItsFinishedUnits) {
    // Writer 1 answers its erase late: writer 0 has ended when the run is killed.
    Station station(2, {{1, {.code = AT_CODE_TARGET_ERASE, .late_ms = 4000}}});
    const std::string command = std::string("cd " KVAT_RUN_SCRIPTS " && exec " KVAT_EXE " run erase.kvatscript --out ") +
                                station.out().string() + station.ports() + " >/dev/null 2>&1";
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    bool one = false;
    for (int i = 0; i < 300 && !one; ++i) {  // at most 15 s
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        one = fs::exists(station.db()) && line_count(station.kvat("history --json --db " + station.db()).out) == 1;
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(one) << "the first unit never showed";
    EXPECT_TRUE(WIFSIGNALED(status));
    // The file is whole: its own check passes, and the finished unit is there.
    const Result check = station.kvat("history --json --db " + station.db());
    EXPECT_EQ(check.exit_code, 0) << check.err;
    const auto units = json_lines(check.out);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0]["port"], "ttyKV0");
    EXPECT_EQ(units[0]["result"], 0);
    const std::string integrity = "sqlite3 " + station.db() + " 'PRAGMA integrity_check' >" +
                                  (station.dir() / "check").string() + " 2>&1";
    if (std::system("command -v sqlite3 >/dev/null") == 0) {
        EXPECT_EQ(std::system(integrity.c_str()), 0);
        EXPECT_EQ(read_file(station.dir() / "check"), "ok\n");
    }
    // The next run goes on in the same file (writer 1 may still be busy with its late answer).
    const Result next = station.run("read.kvatscript --json");
    const std::size_t ran = json_lines(next.out, "port_done").size();
    EXPECT_GE(ran, 1u) << next.err;
    EXPECT_EQ(line_count(station.kvat("history --json --db " + station.db()).out), 1u + ran);
}

TEST(KvatHistory, BadInputIsAClearErrorAndLosesNothing) {
    Station station(1);
    std::ofstream(station.dir() / "notes.db") << "station notes\n";
    const std::string notes = (station.dir() / "notes.db").string();
    struct Case {
        std::string arguments;
        int exit_code;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"history --db " + notes, 3, "not a unit database (not an SQLite file)"},
        {"history --db " + (station.dir() / "none.db").string(), 3, "no unit database there"},
        {"history --since yesterday --db " + notes, 2, "--since yesterday: not a time"},
        {"history --json --csv", 2, ""},
        {"sync --mqtt mqtt://127.0.0.1:1/plant --db " + notes, 3, "not a unit database"},
        {"sync --mqtt mqtt://127.0.0.1/plant/# --db " + notes, 2, "wildcard"},
        {"sync --mqtt mqtts://127.0.0.1/plant --db " + notes, 2, "needs --mqtt-ca"},
        {"collect --mqtt mqtt://127.0.0.1:1/plant --db " + notes, 3, "not a unit database"},
        {"collect --mqtt mqtt://127.0.0.1:99999/plant --db " + notes, 2, "not a number from 1 to 65535"},
    };
    for (const Case &c : cases) {
        const Result r = station.kvat(c.arguments);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.arguments << "\n" << r.err;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << c.arguments << "\n" << r.err;
    }
    EXPECT_EQ(read_file(notes), "station notes\n");
    EXPECT_FALSE(fs::exists(station.dir() / "none.db"));

    // kvat run: wrong arguments stop it before anything is sent ...
    for (const std::string &arguments :
         {std::string("read.kvatscript --station a/b"), std::string("read.kvatscript --mqtt http://x/p"),
          std::string("read.kvatscript --no-db --db x.db")}) {
        const Result r = station.run(arguments);
        EXPECT_EQ(r.exit_code, 2) << arguments << "\n" << r.err;
        EXPECT_FALSE(fs::exists(station.out() / "InfoFile")) << arguments;
    }
    // ... a database that cannot be used is an error line: the run goes on, and exits 5.
    const Result foreign = station.run("read.kvatscript --db " + notes);
    EXPECT_EQ(foreign.exit_code, 5) << foreign.err;
    EXPECT_NE(foreign.err.find("not a unit database"), std::string::npos) << foreign.err;
    EXPECT_NE(foreign.err.find("the run goes on without unit records"), std::string::npos) << foreign.err;
    EXPECT_TRUE(fs::is_directory(station.out() / "InfoFile" / "A-ttyKV0"));
    EXPECT_EQ(read_file(notes), "station notes\n");
    // --no-db keeps none.
    fs::remove_all(station.out());
    EXPECT_EQ(station.run("read.kvatscript --no-db").exit_code, 0);
    EXPECT_FALSE(fs::exists(station.db()));
}

TEST(KvatHistory, AReadOnlyFolderIsAnErrorLineAndExit5) {
    Station station(1);
    const fs::path ro = station.dir() / "ro";
    fs::create_directories(ro);
    fs::permissions(station.dir(), fs::perms::all, fs::perm_options::add);
    fs::permissions(ro, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
    // Root writes anywhere: the run goes as nobody when the test is root.
    const std::string as = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    if (!as.empty() && std::system("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "no setpriv to drop root";
    fs::create_directories(station.out());
    fs::permissions(station.out(), fs::perms::all);
    fs::permissions(station.dir() / "links", fs::perms::all, fs::perm_options::add);
    if (!as.empty()) {
        // nobody opens the virtual writers too.
        for (const auto &link : fs::directory_iterator(station.dir() / "links")) {
            fs::permissions(fs::canonical(link.path()), fs::perms::others_read | fs::perms::others_write,
                            fs::perm_options::add);
        }
    }
    const std::string out_file = (station.dir() / "ro_out").string();
    const std::string command = "cd " KVAT_RUN_SCRIPTS " && " + as + KVAT_EXE + " run read.kvatscript --out " +
                                station.out().string() + " --db " + (ro / "units.db").string() + station.ports() +
                                " >/dev/null 2>" + out_file;
    const int status = std::system(command.c_str());
    const std::string err = read_file(out_file);
    if (!as.empty() && err.find("Permission denied") != std::string::npos && err.find("tty") != std::string::npos) {
        GTEST_SKIP() << "nobody may not open the virtual writers here: " << err;
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 5) << err;
    EXPECT_NE(err.find("cannot be written"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(ro / "units.db"));
}


// A disk that fills during a run: each unit that cannot be stored is an error line and the
// exit status is 5, every writer is still run and reported, and what was stored before stays
// readable. The disk is a small tmpfs in a mount namespace of the test's own.
TEST(KvatHistory, AFullDiskIsAnErrorLineAndExit5AndLosesNothingStored) {
    Station station(3);
    const fs::path disk = station.dir() / "disk";
    fs::create_directories(disk);
    std::string unshare;
    for (const char *how : {"unshare -m", "unshare -Urm"}) {
        const std::string probe = std::string(how) + " sh -c 'mount -t tmpfs -o size=1m none " + disk.string() +
                                  "' >/dev/null 2>&1";
        if (std::system(probe.c_str()) == 0) {
            unshare = how;
            break;
        }
    }
    if (unshare.empty()) GTEST_SKIP() << "no mount namespace here for a small disk";
    const std::string db = (disk / "units.db").string();
    const std::string kvat = "cd " KVAT_RUN_SCRIPTS " && " KVAT_EXE " run read.kvatscript --json --out " +
                             station.out().string() + " --db " + db + station.ports();
    // On the disk: one run with room, the disk filled up to 40 KiB, a second run, the space
    // given back, then the history of both.
    const fs::path first = station.dir() / "first", second = station.dir() / "second",
                   history = station.dir() / "history", errors = station.dir() / "errors";
    const std::string script = "set -u; mount -t tmpfs -o size=512k none " + disk.string() + " || exit 99; " + kvat +
                               " >" + first.string() + " 2>&1; echo $? >" + first.string() + ".status; "
                               "dd if=/dev/zero of=" + (disk / "filler").string() + " bs=4k >/dev/null 2>&1; "
                               "truncate -s -40K " + (disk / "filler").string() + "; " + kvat + " >" + second.string() +
                               " 2>" + errors.string() + "; echo $? >" + second.string() + ".status; rm " +
                               (disk / "filler").string() + "; " KVAT_EXE " history --json --db " + db + " >" +
                               history.string() + " 2>&1; echo $? >" + history.string() + ".status";
    std::ofstream(station.dir() / "disk.sh") << script << "\n";
    ASSERT_EQ(std::system((unshare + " sh " + (station.dir() / "disk.sh").string()).c_str()), 0);
    ASSERT_EQ(read_file(first.string() + ".status"), "0\n") << read_file(first);

    // The second run: every writer ran and passed, and the units it could not store are said.
    const std::string err = read_file(errors);
    EXPECT_EQ(read_file(second.string() + ".status"), "5\n") << err;
    EXPECT_NE(err.find("disk is full"), std::string::npos) << err;
    const auto ends = json_lines(read_file(second), "port_done");
    ASSERT_EQ(ends.size(), 3u);
    for (const auto &end : ends) EXPECT_EQ(end["result"], 0) << end.dump();

    // Nothing stored before is lost: the first run's three units, and whatever of the second
    // made it, each whole.
    ASSERT_EQ(read_file(history.string() + ".status"), "0\n") << read_file(history);
    const auto units = json_lines(read_file(history));
    ASSERT_GE(units.size(), 3u);
    EXPECT_LT(units.size(), 6u) << "the full disk stored every unit";
    for (const auto &unit : units) {
        EXPECT_EQ(unit["result"], 0);
        EXPECT_FALSE(unit["writer_serial"].get<std::string>().empty());
    }
}

}  // namespace
