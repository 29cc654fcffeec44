// kvat run and kvat scan as a user runs them, on virtual writers over real ptys.
#include "run_bench.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using kvat::cli::test::Bench;
using kvat::cli::test::Result;
using kvat::cli::test::interrupt_after;
using kvat::cli::test::read_file;

void expect_file(const std::string &name, const std::string &actual) {
    const fs::path path = fs::path(KVAT_RUN_EXPECTED) / name;
    if (std::getenv("KVAT_UPDATE_EXPECTED") != nullptr) {
        std::ofstream(path, std::ios::binary) << actual;
        return;
    }
    EXPECT_EQ(actual, read_file(path)) << name;
}

std::vector<std::string> sorted_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(KvatRun, OneWriterTextAndJson) {
    Bench bench(1);
    Result text = bench.run("run read.kvatscript --print-info --out " + bench.out().string());
    EXPECT_EQ(text.exit_code, 0) << text.err;
    expect_file("read.stdout", text.out);
    expect_file("read.stderr", text.err);
    EXPECT_EQ(read_file(bench.out() / "InfoFile" / "A-ttyKV0" / "memory.bin"), std::string(16, '\xFF'));

    Result json = bench.run("run read.kvatscript --json --out " + (bench.out() / "json").string());
    EXPECT_EQ(json.exit_code, 0) << json.err;
    expect_file("read_json.stdout", json.out);
    // Every line of standard output is one JSON event.
    std::istringstream lines(json.out);
    for (std::string line; std::getline(lines, line);) {
        const auto event = nlohmann::json::parse(line);
        EXPECT_TRUE(event.contains("event")) << line;
    }
}

TEST(KvatRun, TwoWritersOneFailsItsSecondCommand) {
    Bench bench(2, {.code = AT_CODE_TARGET_ERASE, .nack = KVAT_ERR_TARGET_ERASE}, 1);
    Result r = bench.run("run erase.kvatscript --out " + bench.out().string());
    EXPECT_EQ(r.exit_code, 1) << r.err;
    // The ports' lines interleave in any order; compare them as a set.
    std::string sorted;
    for (const auto &line : sorted_lines(r.out)) sorted += line + "\n";
    expect_file("erase_sorted.stdout", sorted);
    expect_file("erase_run_log.json", bench.run_log());
}

TEST(KvatRun, RefusalsBeforeAnythingRuns) {
    struct Case {
        const char *name;
        const char *arguments;
        std::size_t writers;
    };
    const Case cases[] = {
        {"refused", "run refused.kvatscript", 1},
        {"stops", "run stops.kvatscript", 1},
        {"missing", "run missing.kvatscript", 1},
        {"no_writer", "run read.kvatscript", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench(c.writers);
        Result r = bench.run(std::string(c.arguments) + " --out " + bench.out().string());
        EXPECT_EQ(r.exit_code, 3);
        expect_file(std::string(c.name) + ".stdout", r.out);
        expect_file(std::string(c.name) + ".stderr", r.err);
        EXPECT_FALSE(fs::exists(bench.out() / "InfoFile"));
    }
    Bench bench(0);
    EXPECT_EQ(bench.run("run").exit_code, 2);
    EXPECT_EQ(bench.run("run read.kvatscript --baud 0").exit_code, 2);
}

TEST(KvatRun, InterruptStopsEveryPortAfterItsCurrentCommand) {
    Bench bench(2);
    const std::string command = std::string("cd " KVAT_RUN_SCRIPTS " && exec " KVAT_EXE " run pause.kvatscript --json --out ") +
                                bench.out().string() + bench.ports() + " >/dev/null 2>&1";
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    const auto log = nlohmann::json::parse(bench.run_log());
    for (const char *port : {"ttyKV0", "ttyKV1"}) {
        // The sleep was the current command: cut short, it is neither passed nor failed, and
        // nothing after it started.
        EXPECT_EQ(log[port]["final step"], 1) << port;
        EXPECT_FALSE(log[port].contains("-result")) << port;
        EXPECT_EQ(log[port]["-stopped"], true) << port;
        EXPECT_EQ(log[port]["logs"]["succeed instruct"].size(), 1u) << port;
    }
}

TEST(KvatRun, AStopIsReportedAsAStopEverywhere) {
    Bench bench(2);
    const std::string json_file = (bench.out().parent_path() / "events.jsonl").string();
    const int code = interrupt_after(std::string("cd " KVAT_RUN_SCRIPTS " && exec " KVAT_EXE " run pause.kvatscript --json --out ") +
                                         bench.out().string() + bench.ports() + " >" + json_file + " 2>/dev/null",
                                     800, 1);
    EXPECT_EQ(code, 130);
    std::istringstream lines(read_file(json_file));
    std::string line, last;
    while (std::getline(lines, line)) last = line;
    const auto done = nlohmann::json::parse(last);
    EXPECT_EQ(done["event"], "run_done");
    EXPECT_EQ(done["stopped"], true);
    EXPECT_EQ(done["ok"], false);
    EXPECT_EQ(done["stopped_ports"].size(), 2u);

    // Plain output still names the run log.
    Bench plain(1);
    const std::string err_file = (plain.out().parent_path() / "err.txt").string();
    EXPECT_EQ(interrupt_after(std::string("cd " KVAT_RUN_SCRIPTS " && exec " KVAT_EXE " run pause.kvatscript --out ") +
                                  plain.out().string() + plain.ports() + " >/dev/null 2>" + err_file,
                              800, 1),
              130);
    EXPECT_NE(read_file(err_file).find("run log: "), std::string::npos) << read_file(err_file);
}

TEST(KvatRun, ASecondInterruptRemovesTheVirtualWritersLinks) {
    Bench bench(0);
    const fs::path tmp = bench.out().parent_path() / "tmp";
    fs::create_directories(tmp);
    const int code = interrupt_after(std::string("cd " KVAT_RUN_SCRIPTS " && TMPDIR=") + tmp.string() +
                                         " exec " KVAT_EXE " run pause.kvatscript --simulate 2 --out " +
                                         bench.out().string() + " >/dev/null 2>&1",
                                     800, 2);
    EXPECT_EQ(code, 130);
    EXPECT_TRUE(fs::is_empty(tmp)) << "links left behind";
}

TEST(KvatRun, AClosedOutputDoesNotKillTheRun) {
    Bench bench(2);
    // head reads one line and goes; the run must finish and keep its log whole.
    const std::string command = std::string("cd " KVAT_RUN_SCRIPTS " && bash -c '" KVAT_EXE " run read.kvatscript --json --out ") +
                                bench.out().string() + bench.ports() + " 2>/dev/null | head -1 >/dev/null; exit ${PIPESTATUS[0]}'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const auto log = nlohmann::json::parse(bench.run_log());
    for (const char *port : {"ttyKV0", "ttyKV1"}) EXPECT_EQ(log[port]["-result"], true) << port;
}

TEST(KvatRun, ResultsThatCannotBeSavedExitWith5) {
    Bench bench(1);
    fs::create_directories(bench.out());
    std::ofstream(bench.out() / "log") << "a file where the log folder belongs";
    Result r = bench.run("run read.kvatscript --out " + bench.out().string());
    EXPECT_EQ(r.exit_code, 5) << r.err;
    EXPECT_NE(r.out.find("cannot save <DIR>/out/log/"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("run log: "), std::string::npos) << "a run log that does not exist was named";
    Result help = bench.run("run --help");
    EXPECT_NE(help.out.find("5    every writer passed, but a result file, the run log, the serial file or a unit record could not"),
              std::string::npos);
}

TEST(KvatRun, RunsOnlyOnTheWritersNamedBySerialNumber) {
    Bench bench(3);
    Result r = bench.run("run read.kvatscript --json --writer KVSIM0001 --writer KVSIM0002 --out " + bench.out().string());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> ran;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const auto event = nlohmann::json::parse(line);
        if (event["event"] == "port_done") ran.push_back(event["writer_serial"]);
    }
    std::sort(ran.begin(), ran.end());
    EXPECT_EQ(ran, (std::vector<std::string>{"KVSIM0001", "KVSIM0002"}));

    // A named writer that did not answer, or one named twice: nothing is sent.
    Bench other(1);
    Result missing = other.run("run read.kvatscript --writer KVSIM0099 --out " + other.out().string());
    EXPECT_EQ(missing.exit_code, 3);
    EXPECT_NE(missing.err.find("no writer with serial number KVSIM0099 answered the scan"), std::string::npos) << missing.err;
    EXPECT_FALSE(fs::exists(other.out() / "InfoFile"));
    Result twice = other.run("run read.kvatscript --writer KVSIM0000 --writer KVSIM0000 --out " + other.out().string());
    EXPECT_EQ(twice.exit_code, 2);
    EXPECT_FALSE(fs::exists(other.out() / "InfoFile"));
}

TEST(KvatRun, TheImageSummaryOnlyWhenAskedAndOncePerImage) {
    const auto count = [](const std::string &text, const std::string &what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    Bench bench(3);
    Result quiet = bench.run("run write_hex.kvatscript --out " + bench.out().string());
    EXPECT_EQ(quiet.exit_code, 0) << quiet.err;
    EXPECT_EQ(count(quiet.out + quiet.err, "Lowest address:"), 0u);
    Result verbose = bench.run("run write_hex.kvatscript --verbose --out " + bench.out().string());
    EXPECT_EQ(verbose.exit_code, 0) << verbose.err;
    EXPECT_EQ(count(verbose.out + verbose.err, "Lowest address:"), 1u) << verbose.out;
}

TEST(KvatRun, ATerminalShowsEachPortsStepAndBytesAndEndsWithTheTable) {
    Bench bench(2);
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const std::string command = std::string("cd " KVAT_RUN_SCRIPTS " && exec " KVAT_EXE
                                            " run serial_in_image.kvatscript --serial-start 1 --serial-addr 0x08000080 --out ") +
                                bench.out().string() + bench.ports() + " >/dev/null";
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(slave, 2);
        close(master);
        close(slave);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(slave);
    std::string screen;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // EIO once the tool closed the terminal
        screen.append(buffer, static_cast<std::size_t>(n));
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << screen;
    // The bars name the step and command, and the bytes of a write and of its verify.
    EXPECT_NE(screen.find("3/4 -write"), std::string::npos) << screen;
    EXPECT_NE(screen.find("16.0 KiB/16.0 KiB"), std::string::npos) << screen;
    EXPECT_NE(screen.find("verify 16.0 KiB/16.0 KiB"), std::string::npos) << screen;
    // The table is the last thing on the screen, with each unit's serial number.
    const std::size_t table = screen.rfind("PORT");
    ASSERT_NE(table, std::string::npos) << screen;
    const std::string tail = screen.substr(table);
    EXPECT_EQ(tail.find('\033'), std::string::npos) << "something was drawn after the table: " << tail;
    EXPECT_NE(tail.find("SERIAL"), std::string::npos) << tail;
    EXPECT_LT(tail.find("ttyKV0"), tail.find("ttyKV1")) << tail;
    EXPECT_NE(tail.find("passed"), std::string::npos) << tail;
}

TEST(KvatScan, ListsTheWritersThatAnswered) {
    Bench bench(2, {.silent = true}, 1);
    Result text = bench.run("scan");
    EXPECT_EQ(text.exit_code, 0) << text.err;
    // Column widths follow the scratch path's length: compare with blanks collapsed.
    expect_file("scan.stdout", std::regex_replace(text.out, std::regex(" +"), " "));
    Result json = bench.run("scan --json");
    EXPECT_EQ(json.exit_code, 0);
    expect_file("scan_json.stdout", json.out);
    EXPECT_EQ(nlohmann::json::parse(json.out).size(), 1u);

    Bench none(0);
    Result empty = none.run("scan --json");
    EXPECT_EQ(empty.exit_code, 1);
    EXPECT_EQ(empty.out, "[]\n");
}

}  // namespace
