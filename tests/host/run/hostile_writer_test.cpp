// Writers that answer with well-formed frames saying the wrong thing, refuse, stay silent or
// vanish: every case must end with the step failed or stopped, and no result file may hold a
// byte the writer did not send.
#include "session_rig.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

namespace kelvra::run::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kFlash = 0x08000000;

S_CmdParam with_timeout(std::int32_t id, std::int32_t timeout) {
    S_CmdParam c = command(id);
    c.timeout = timeout;
    return c;
}

S_CmdParam read_memory(std::uint32_t address, std::uint32_t size) {
    S_CmdParam c = command(ATCmdReadTargetMemory);
    c.address = address;
    c.size = size;
    return c;
}

// The result of the last step of a run of `list` on one writer with `faults`, and the size of
// a result file afterwards (-1 when it does not exist).
struct OneRun {
    ATResult last_result = -100;
    std::size_t steps = 0;
    bool ok = false;
    std::intmax_t file_size = -1;
};

OneRun run_on_one(const sim::FaultSettings &faults, const std::vector<S_CmdParam> &list, const char *file = "none") {
    SessionRig rig(RigOptions{.writers = 1, .faults = faults});
    OneRun r;
    EXPECT_EQ(rig.scan().size(), 1u);
    EXPECT_TRUE(rig.run(list));
    const auto steps = rig.view.steps();
    r.steps = steps.size();
    if (!steps.empty()) r.last_result = steps.back().result;
    r.ok = !rig.view.summaries().empty() && rig.view.summaries().back().ok;
    std::error_code error;
    const fs::path path = rig.folder("ttyKV0") / file;
    if (fs::exists(path, error)) r.file_size = static_cast<std::intmax_t>(fs::file_size(path, error));
    return r;
}

TEST(HostileWriter, AReadingCommandAnsweredWithTheWrongKindFailsWith39AndKeepsNothing) {
    struct Reading {
        const char *name;
        S_CmdParam command;
        std::uint32_t code;
        const char *file;
    };
    const Reading readings[] = {
        {"writer info", command(ATCmdGetWriterInfo), AT_CODE_GET_WRITER_INFO, "writer_info.json"},
        {"configuration", command(ATCmdGetWriterCfg), AT_CODE_GET_WRITER_CFG, "writer_cfg.json"},
        {"chip id", command(ATCmdGetTargetChipID), AT_CODE_TARGET_GET_ID, "chip_id.txt"},
        {"memory", read_memory(kFlash, 0x400), AT_CODE_TARGET_READ, "memory.bin"},
        {"option bytes", command(ATCmdReadTargetOptionByte), AT_CODE_TARGET_READ_OB, "option_byte.bin"},
        {"project info", command(ATCmdGetProjectInfo), AT_CODE_PROJECT_INFO, "project_info.json"},
    };
    struct Answer {
        const char *name;
        sim::FaultSettings faults;
    };
    const Answer answers[] = {
        {"bare ACK", {.bare_ack = true}},
        {"another code", {.answer_code = 999}},
        {"empty record", {.payload_size = 0}},
        {"short record", {.payload_size = 3}},
        {"record longer than its frame", {.payload_size = 8, .declare_payload = 900}},
    };
    for (const Reading &reading : readings) {
        for (const Answer &answer : answers) {
            SCOPED_TRACE(std::string(reading.name) + ", " + answer.name);
            sim::FaultSettings faults = answer.faults;
            faults.code = reading.code;
            // The scan's own writer-information probe must still be answered.
            if (reading.code == AT_CODE_GET_WRITER_INFO) faults.only_nth = 2;
            const OneRun r = run_on_one(faults, {command(ATCmdConnectTarget), reading.command}, reading.file);
            EXPECT_EQ(r.steps, 2u);
            EXPECT_EQ(r.last_result, KVAT_ERR_PACKAGE);
            EXPECT_FALSE(r.ok);
            EXPECT_LE(r.file_size, 0);
        }
    }
}

TEST(HostileWriter, AMemoryBlockMustBeTheOneAskedFor) {
    struct Case {
        const char *name;
        sim::FaultSettings faults;
    };
    const Case cases[] = {
        // 16 bytes per chunk where 256 were asked: would have written 64 of 0x400 bytes.
        {"short chunks", {.patch = {{4, 16}, {5, 0}, {6, 0}, {7, 0}}}},
        {"length word 0xFFFFFFFF", {.patch = {{4, 0xFF}, {5, 0xFF}, {6, 0xFF}, {7, 0xFF}}}},
        {"another address", {.patch = {{1, 0x10}}}},
        // No data at all but a length word of 256: would have written 256 made-up zeros.
        {"no data", {.payload_size = 8}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::FaultSettings faults = c.faults;
        faults.code = AT_CODE_TARGET_READ;
        const OneRun r = run_on_one(faults, {command(ATCmdConnectTarget), read_memory(kFlash, 0x400)}, "memory.bin");
        EXPECT_EQ(r.last_result, KVAT_ERR_PACKAGE);
        EXPECT_LE(r.file_size, 0);
    }
    // The second chunk lies: the first one's bytes, which the writer did send, are kept.
    sim::FaultSettings second{.code = AT_CODE_TARGET_READ, .only_nth = 2, .payload_size = 8};
    const OneRun r = run_on_one(second, {command(ATCmdConnectTarget), read_memory(kFlash, 0x400)}, "memory.bin");
    EXPECT_EQ(r.last_result, KVAT_ERR_PACKAGE);
    EXPECT_EQ(r.file_size, 256);
}

TEST(HostileWriter, AChipIdThatClaimsMoreThanItCarriesFails) {
    const OneRun r = run_on_one({.code = AT_CODE_TARGET_GET_ID, .patch = {{0, 16}}, .payload_size = 5},
                                {command(ATCmdConnectTarget), command(ATCmdGetTargetChipID)}, "chip_id.txt");
    EXPECT_EQ(r.last_result, KVAT_ERR_PACKAGE);
    EXPECT_LE(r.file_size, 0);
}

TEST(HostileWriter, ACommandThatWantsAnAckFailsOnAnyOtherAnswer) {
    struct Case {
        const char *name;
        sim::FaultSettings faults;
    };
    const Case cases[] = {
        {"a data answer", {.answer_code = AT_CODE_WRITER_INFO}},
        // A refusal whose code says 0 is no refusal anyone can act on.
        {"a NACK that carries 0", {.answer_code = AT_STATUS_NACK}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::FaultSettings faults = c.faults;
        faults.code = AT_CODE_TARGET_CONNECT;
        const OneRun r = run_on_one(faults, {command(ATCmdConnectTarget)});
        EXPECT_EQ(r.last_result, KVAT_ERR_PACKAGE);
        EXPECT_FALSE(r.ok);
    }
}

TEST(HostileWriter, AnOfflineStatusOfAnotherKindFails) {
    const OneRun r = run_on_one({.code = AT_CODE_OFFLINE_STATUS, .answer_code = 999}, {command(ATCmdGetOfflineStatus)});
    EXPECT_EQ(r.last_result, KVAT_ERR_PACKAGE);
    const OneRun running = run_on_one({.code = AT_CODE_OFFLINE_STATUS, .answer_code = AT_STATUS_RUNNING},
                                      {command(ATCmdGetOfflineStatus)});
    // RUNNING without its two progress words.
    EXPECT_EQ(running.last_result, KVAT_ERR_PACKAGE);
}

TEST(HostileWriter, ASimpleBroadcastFailsOnARefusalButNotOnSilence) {
    S_CmdParam broadcast = command(ATCmdBroadcast);
    SetCmdText(broadcast.data, "abc");
    struct Case {
        const char *name;
        sim::FaultSettings faults;
        ATResult result;
    };
    const Case cases[] = {
        {"no answer, as expected", {}, 0},
        {"silent even when it could answer", {.code = AT_CODE_BROADCAST, .silent = true}, 0},
        {"refused", {.code = AT_CODE_BROADCAST, .nack = KVAT_ERR_DATA_SIZE}, KVAT_ERR_DATA_SIZE},
        {"an answer of another kind", {.code = AT_CODE_BROADCAST, .bare_ack = true}, KVAT_ERR_PACKAGE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const OneRun r = run_on_one(c.faults, {broadcast});
        EXPECT_EQ(r.last_result, c.result);
        EXPECT_EQ(r.ok, c.result == 0);
    }
}

TEST(HostileWriter, ABroadcastToAnUnpluggedWriterFails) {
    SessionRig rig({.writers = 1});
    ASSERT_EQ(rig.scan().size(), 1u);
    rig.writers->writer(0).HangUp();
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!rig.session->app().open_ports().empty() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(rig.session->app().open_ports().empty());
    SerialPortApp &app = rig.session->app();
    for (const int extended : {0, 1}) {
        SCOPED_TRACE(extended);
        S_CmdParam broadcast = command(ATCmdBroadcast);
        SetCmdText(broadcast.data, "abc");
        broadcast.bcst_with_rsp = extended;
        std::int32_t slot = 0;
        EXPECT_EQ(app.Execute(app.protocol_object(0), &broadcast, &slot), KVAT_ERR_PORT);
    }
}

TEST(HostileWriter, ALostPortEndsItsWaitingStepAtOnce) {
    SessionRig rig({.writers = 2, .faults = {.code = AT_CODE_TARGET_ERASE, .silent = true}, .fault_writer = 0});
    ASSERT_EQ(rig.scan().size(), 2u);
    // Writer 0 never answers its 20 s erase; writer 1 sleeps beside it.
    ASSERT_TRUE(rig.session->StartRun({command(ATCmdConnectTarget), with_timeout(ATCmdEraseTarget, 20000),
                                       with_timeout(ATCmdSleep, 1500)}));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto lost = Clock::now();
    rig.writers->writer(0).HangUp();
    const auto deadline = lost + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        const auto steps = rig.view.steps();
        if (std::any_of(steps.begin(), steps.end(), [](const StepEvent &s) { return s.port == "ttyKV0" && s.step == 2; })) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lost).count();
    EXPECT_LT(took, 2000) << "the erase sat out its time-out";
    std::printf("the waiting erase ended %lld ms after the writer was unplugged\n", static_cast<long long>(took));
    ASSERT_TRUE(rig.session->WaitIdle(20000));
    for (const StepEvent &s : rig.view.steps()) {
        if (s.port == "ttyKV0" && s.step == 2) {
            EXPECT_EQ(s.result, KVAT_ERR_PORT);
        }
    }
    const RunSummary summary = rig.view.summaries().at(0);
    EXPECT_FALSE(summary.ok);
    EXPECT_FALSE(summary.stopped);
}

TEST(HostileWriter, ASleepOnALostPortEndsWithTheLoss) {
    SessionRig rig({.writers = 1});
    ASSERT_EQ(rig.scan().size(), 1u);
    ASSERT_TRUE(rig.session->StartRun({with_timeout(ATCmdSleep, 20000)}));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    rig.writers->writer(0).HangUp();
    ASSERT_TRUE(rig.session->WaitIdle(5000));
    ASSERT_EQ(rig.view.steps().size(), 1u);
    EXPECT_EQ(rig.view.steps()[0].result, KVAT_ERR_PORT);
}

// A writer lost just before the run takes its list of ports, whose loss is reported only
// after the run began: no thread runs for it, so it must not be waited for.
TEST(HostileWriter, AWriterLostJustAsTheRunStartsIsNotWaitedFor) {
    SessionRig rig({.writers = 2});
    ASSERT_EQ(rig.scan().size(), 2u);
    rig.view.set_slow_line("已断开", 800);
    rig.writers->writer(1).HangUp();
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (rig.session->app().open_ports().size() != 1 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(rig.session->app().open_ports().size(), 1u);
    // The loss report is still being printed.
    ASSERT_TRUE(rig.session->StartRun({with_timeout(ATCmdSleep, 10)}));
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (rig.view.summaries().empty() && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(rig.view.summaries().size(), 1u) << "the run never finished";
    EXPECT_TRUE(rig.view.summaries()[0].ok);
    EXPECT_FALSE(rig.session->running());
    ASSERT_TRUE(rig.session->WaitIdle(5000));
    EXPECT_EQ(rig.session->writer_count(), 1);
}

TEST(HostileWriter, TwentyFourSilentPortsDoNotCrowdOutAWriter) {
    RigOptions options{.writers = 25};
    for (std::size_t i = 0; i < 24; ++i) options.writer_faults[i] = {.silent = true};
    SessionRig rig(options);
    EXPECT_EQ(rig.scan(), std::vector<std::string>{"ttyKV24"});
    EXPECT_EQ(rig.session->writer_count(), 1);
}

// A writer port that cannot be opened is named, with the reason, rather than passing for no
// writer at all.
TEST(HostileWriter, APortThatCannotBeOpenedIsNamedWithItsReason) {
    SessionRig rig({.writers = 1});
    const std::string device = fs::canonical(rig.writers->link(0)).string();
    // Another program holds the writer's port.
    const int holder = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_TRUE(rig.scan().empty());
    bool named = false;
    for (const LogEntry &line : rig.view.lines()) {
        if (line.level == LogWarning && line.text.find("ttyKV0") != std::string::npos &&
            line.text.find("cannot be opened: held by another program") != std::string::npos) {
            named = true;
        }
    }
    EXPECT_TRUE(named);
    ::close(holder);
    EXPECT_EQ(rig.scan().size(), 1u);
}

TEST(HostileWriter, TheProgramsTimeOutsArePinned) {
    SessionRig rig({.writers = 1, .faults = {.code = AT_CODE_GET_WRITER_INFO, .silent = true, .only_nth = 2}});
    ASSERT_EQ(rig.scan().size(), 1u);
    SerialPortApp &app = rig.session->app();
    std::int32_t slot = 0;
    const auto timed = [&](S_CmdParam c) {
        const auto start = Clock::now();
        const ATResult result = app.Execute(app.protocol_object(0), &c, &slot);
        return std::make_pair(result, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    };
    const auto [info, info_ms] = timed(command(ATCmdGetWriterInfo));
    EXPECT_EQ(info, KVAT_ERR_TIMEOUT);
    EXPECT_GE(info_ms, static_cast<long>(kProbeTimeoutMs) - 5);
    EXPECT_LT(info_ms, 1000);
    EXPECT_EQ(kCommandTimeoutMs, 5000u);
    EXPECT_EQ(kSwitchTimeoutMs, 15000u);
}

TEST(HostileWriter, AWriteChunkWaitsTheCommandTimeOutNotTheLibraryDefault) {
    SessionRig rig({.writers = 1, .faults = {.code = AT_CODE_TARGET_WRITE, .silent = true}});
    ASSERT_EQ(rig.scan().size(), 1u);
    write_file(rig.scratch / "image.bin", std::string(16, 'x'));
    S_CmdParam write = with_file(ATCmdWriteTargetMemory, rig.scratch / "image.bin");
    write.address = kFlash;
    SerialPortApp &app = rig.session->app();
    std::int32_t slot = 0;
    S_CmdParam connect = command(ATCmdConnectTarget);
    ASSERT_EQ(app.Execute(app.protocol_object(0), &connect, &slot), 0);
    const auto start = Clock::now();
    EXPECT_EQ(app.Execute(app.protocol_object(0), &write, &slot), KVAT_ERR_TIMEOUT);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(ms, static_cast<long>(kCommandTimeoutMs) - 50);
    EXPECT_LT(ms, static_cast<long>(kCommandTimeoutMs) + 3000);
}

// The writer took the new rate, but the host's own port could not follow: the link is broken.
TEST(RunTruth, ABaudRateTheHostCannotSetFailsTheStep) {
    SessionRig rig({.writers = 1});
    ASSERT_EQ(rig.scan().size(), 1u);
    SerialPortApp &app = rig.session->app();
    S_CmdParam baud = command(ATCmdSetBaudRate);
    baud.baudrate = -1;  // the writer reads 0xFFFFFFFF; no tty can run at a negative rate
    std::int32_t slot = 0;
    EXPECT_EQ(app.Execute(app.protocol_object(0), &baud, &slot), KVAT_ERR_PORT);
    EXPECT_NE(app.FailureDetail(0).find("could not switch its port"), std::string::npos) << app.FailureDetail(0);
}

TEST(RunTruth, AStopDuringTheLastSleepIsNeitherPassedNorFailed) {
    SessionRig rig({.writers = 2});
    ASSERT_EQ(rig.scan().size(), 2u);
    ASSERT_TRUE(rig.session->StartRun({command(ATCmdConnectTarget), with_timeout(ATCmdSleep, 5000)}));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    rig.session->RequestStop();
    ASSERT_TRUE(rig.session->WaitIdle(5000));
    const RunSummary summary = rig.view.summaries().at(0);
    EXPECT_TRUE(summary.stopped);
    EXPECT_FALSE(summary.ok);
    EXPECT_EQ(summary.stopped_ports.size(), 2u);
    // Only the connect was reported: the cut-short sleep is no step.
    EXPECT_EQ(rig.view.steps().size(), 2u);
    const auto log = nlohmann::json::parse(rig.run_log_text());
    for (const char *port : {"ttyKV0", "ttyKV1"}) {
        EXPECT_EQ(log[port]["-stopped"], true) << port;
        EXPECT_FALSE(log[port].contains("-result")) << port;
        EXPECT_EQ(log[port]["final step"], 1) << port;
    }
}

TEST(RunTruth, AStopAfterEveryPortFinishedIsStillAStop) {
    SessionRig rig({.writers = 1});
    ASSERT_EQ(rig.scan().size(), 1u);
    ASSERT_TRUE(rig.session->StartRun({with_timeout(ATCmdSleep, 200)}));
    rig.session->RequestStop();
    ASSERT_TRUE(rig.session->WaitIdle(5000));
    EXPECT_TRUE(rig.view.summaries().at(0).stopped);
}

TEST(RunTruth, ResultsThatCannotBeSavedAreReported) {
    struct Case {
        const char *name;
        std::function<void(SessionRig &)> spoil;
        std::string path;  // relative to the program folder
    };
    const Case cases[] = {
        {"log is a file", [](SessionRig &rig) { write_file((rig.program() / "log").string(), "x"); }, "log/"},
        {"result folder is a file",
         [](SessionRig &rig) {
             fs::create_directories(rig.program() / "InfoFile");
             write_file((rig.program() / "InfoFile/A-ttyKV0").string(), "x");
         },
         "InfoFile/A-ttyKV0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SessionRig rig({.writers = 1});
        ASSERT_EQ(rig.scan().size(), 1u);
        fs::create_directories(rig.program());
        c.spoil(rig);
        ASSERT_TRUE(rig.run({command(ATCmdConnectTarget), command(ATCmdGetTargetChipID)}));
        const RunSummary summary = rig.view.summaries().at(0);
        EXPECT_TRUE(summary.ok);  // the writer did its work
        ASSERT_FALSE(summary.save_failures.empty());
        const std::string expected = (rig.program() / c.path).string();
        bool named = false;
        for (const std::string &text : rig.view.texts()) {
            if (text.rfind("cannot save " + expected, 0) == 0) named = true;
        }
        EXPECT_TRUE(named) << "no error line names " << expected;
    }
}

}  // namespace
}  // namespace kelvra::run::test
