// The run log on its own, without ports: what the document holds, that the file on disk is
// always a whole document and follows the run, and that a write that fails is reported.
#include "host/run/run_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace kelvra::run::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Scratch {
    Scratch() {
        static int n = 0;
        dir = fs::temp_directory_path() / ("kelvra_run_log_test_" + std::to_string(::getpid()) + "_" + std::to_string(n++));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    fs::path dir;
};

std::string slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Failures {
    std::mutex mutex;
    std::vector<std::string> seen;
    RunLog::SaveFailed callback() {
        return [this](const std::string &path, const std::string &reason) {
            std::lock_guard<std::mutex> lock(mutex);
            seen.push_back(path + ": " + reason);
        };
    }
};

// Waits until `path` holds a document for which `ready` is true; false after `limit`.
template <typename Ready>
bool wait_for_file(const fs::path &path, std::chrono::milliseconds limit, Ready ready) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        const std::string text = slurp(path);
        if (!text.empty()) {
            const auto document = nlohmann::json::parse(text, nullptr, false);
            if (!document.is_discarded() && ready(document)) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

TEST(RunLog, HoldsWhatEachPortDidAndHowItEnded) {
    Scratch scratch;
    Failures failures;
    const fs::path path = scratch.dir / "run.json";
    RunLog log(true, 100, failures.callback());
    log.Begin(path.string());
    log.StepSucceeded("ttyKV0", 1, "-connect");
    log.StepSucceeded("ttyKV0", 2, "-cid");
    log.StepSucceeded("ttyKV1", 1, "-connect");
    log.StepFailed("ttyKV1", 2, "-cid", "目标芯片未连接");
    log.PortEnded("ttyKV0", true, 2);
    log.PortEnded("ttyKV1", false, 2);
    log.Finish();
    const auto document = nlohmann::json::parse(slurp(path));
    EXPECT_EQ(document["ttyKV0"]["logs"]["succeed instruct"], nlohmann::json({"-connect", "-cid"}));
    EXPECT_EQ(document["ttyKV0"]["-result"], true);
    EXPECT_EQ(document["ttyKV0"]["final step"], 2);
    EXPECT_EQ(document["ttyKV1"]["logs"]["failed instruct"]["line num"], 2);
    EXPECT_EQ(document["ttyKV1"]["logs"]["failed instruct"]["err msg"], "目标芯片未连接");
    EXPECT_EQ(document["ttyKV1"]["-result"], false);
    EXPECT_EQ(document["ttyKV1"]["-total step"], 2);
    EXPECT_FALSE(fs::exists(path.string() + ".part.json"));
    EXPECT_TRUE(failures.seen.empty());
}

TEST(RunLog, TheFileFollowsTheRunAndIsAlwaysWhole) {
    Scratch scratch;
    Failures failures;
    const fs::path path = scratch.dir / "run.json";
    RunLog log(true, 50, failures.callback());
    log.Begin(path.string());
    // A reader that parses the file over and over never meets half a document.
    std::atomic<bool> done{false};
    std::atomic<int> broken{0};
    std::thread reader([&] {
        while (!done.load()) {
            const std::string text = slurp(path);
            if (!text.empty() && nlohmann::json::parse(text, nullptr, false).is_discarded()) ++broken;
        }
    });
    for (unsigned step = 1; step <= 300; ++step) log.StepSucceeded("ttyKV0", step, "-connect");
    // A step shows in the file within the interval, give or take a busy machine.
    EXPECT_TRUE(wait_for_file(path, std::chrono::milliseconds(3000),
                              [](const nlohmann::json &d) { return d.value("/ttyKV0/final step"_json_pointer, 0) == 300; }));
    // A port's end goes out at once, not at the next tick.
    log.PortEnded("ttyKV0", true, 300);
    EXPECT_TRUE(wait_for_file(path, std::chrono::milliseconds(3000),
                              [](const nlohmann::json &d) { return d["ttyKV0"].contains("-result"); }));
    log.PortStopped("ttyKV1");
    log.Finish();
    done.store(true);
    reader.join();
    EXPECT_EQ(broken.load(), 0);
    EXPECT_EQ(nlohmann::json::parse(slurp(path))["ttyKV1"]["-stopped"], true);
}

TEST(RunLog, AWriteThatFailsIsReportedWithItsPath) {
    Scratch scratch;
    Failures failures;
    const fs::path path = scratch.dir / "missing folder" / "run.json";
    {
        RunLog log(true, 100, failures.callback());
        log.Begin(path.string());
        log.StepSucceeded("ttyKV0", 1, "-connect");
        log.Finish();
    }
    ASSERT_FALSE(failures.seen.empty());
    EXPECT_EQ(failures.seen[0].rfind(path.string() + ": ", 0), 0u) << failures.seen[0];
}

TEST(RunLog, SwitchedOffItWritesNothing) {
    Scratch scratch;
    Failures failures;
    const fs::path path = scratch.dir / "run.json";
    RunLog log(false, 100, failures.callback());
    log.Begin(path.string());
    log.StepSucceeded("ttyKV0", 1, "-connect");
    log.PortEnded("ttyKV0", true, 1);
    log.Finish();
    EXPECT_FALSE(fs::exists(path));
}

}  // namespace
}  // namespace kelvra::run::test
