// kvat run --serial-*: each unit gets the next number in its memory, a number is spent only by
// a unit that passed, and two runs on one station never hand out the same number.
#include "run_bench.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using kvat::cli::test::Bench;
using kvat::cli::test::read_file;
using kvat::cli::test::Result;

// Port -> unit_serial of every port_done event.
std::map<std::string, std::uint64_t> unit_serials(const std::string &jsonl) {
    std::map<std::string, std::uint64_t> serials;
    std::istringstream lines(jsonl);
    for (std::string line; std::getline(lines, line);) {
        const auto event = nlohmann::json::parse(line);
        if (event["event"] == "port_done" && event.contains("unit_serial")) serials[event["port"]] = event["unit_serial"];
    }
    return serials;
}

// The little-endian word at `offset` of a port's memory.bin.
std::uint32_t stored_u32(const Bench &bench, const std::string &port, std::size_t offset) {
    const std::string bytes = read_file(bench.out() / "InfoFile" / ("A-" + port) / "memory.bin");
    if (bytes.size() < offset + 4) return 0xFFFFFFFFu;
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<std::uint8_t>(bytes[offset + static_cast<std::size_t>(i)]);
    return value;
}

nlohmann::json serial_file(const fs::path &path) { return nlohmann::json::parse(read_file(path)); }

TEST(KvatRunSerials, EachUnitGetsTheNextNumberInsideItsImage) {
    Bench bench(3);
    Result r = bench.run("run serial_in_image.kvatscript --json --serial-start 7000 --serial-addr 0x08000080 --out " +
                         bench.out().string());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto serials = unit_serials(r.out);
    ASSERT_EQ(serials.size(), 3u);
    std::set<std::uint64_t> numbers;
    for (const auto &[port, serial] : serials) {
        // What the unit holds is the number the run reported, and verify passed on it.
        EXPECT_EQ(stored_u32(bench, port, 0x80), serial) << port;
        numbers.insert(serial);
    }
    EXPECT_EQ(numbers, (std::set<std::uint64_t>{7000, 7001, 7002}));
    const auto file = serial_file(bench.out() / "log" / "serial.json");
    EXPECT_EQ(file["next"], 7003);
    EXPECT_TRUE(file["taken"].empty());
    EXPECT_TRUE(file["free"].empty());
    const auto log = nlohmann::json::parse(bench.run_log());
    for (const auto &[port, serial] : serials) EXPECT_EQ(log[port]["unit_serial"], serial) << port;
    // The image's own hash, not the patched bytes': one firmware, one hash.
    std::set<std::string> hashes;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const auto event = nlohmann::json::parse(line);
        if (event["event"] == "port_done") hashes.insert(event["image_sha256"][0].get<std::string>());
    }
    EXPECT_EQ(hashes.size(), 1u);

    // The file's next number wins over another start, with a warning.
    Result again = bench.run("run serial_in_image.kvatscript --json --serial-start 1 --serial-addr 0x08000080 --out " +
                             bench.out().string());
    ASSERT_EQ(again.exit_code, 0) << again.err;
    EXPECT_NE(again.err.find("was started at 7000; its next number 7003 is used"), std::string::npos) << again.err;
    const auto second = unit_serials(again.out);
    std::set<std::uint64_t> next;
    for (const auto &[port, serial] : second) next.insert(serial);
    EXPECT_EQ(next, (std::set<std::uint64_t>{7003, 7004, 7005}));
}

TEST(KvatRunSerials, ANumberNoImageCoversIsWrittenAfterTheLastWrite) {
    Bench bench(2);
    Result r = bench.run("run serial_after_image.kvatscript --json --serial-start 0x1234 --serial-addr 0x08004004 "
                         "--serial-format u32be --out " + bench.out().string());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto serials = unit_serials(r.out);
    ASSERT_EQ(serials.size(), 2u);
    for (const auto &[port, serial] : serials) {
        const std::string bytes = read_file(bench.out() / "InfoFile" / ("A-" + port) / "memory.bin");
        ASSERT_GE(bytes.size(), 8u);
        const std::string expected{static_cast<char>(0), static_cast<char>(0), static_cast<char>(0x12),
                                   static_cast<char>(0x34 + (serial - 0x1234))};
        EXPECT_EQ(bytes.substr(4, 4), expected) << port;
    }
    // The write step counts the serial number's bytes, verified with the image.
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const auto event = nlohmann::json::parse(line);
        if (event["event"] == "step" && event["step"] == 3) {
            EXPECT_EQ(event["verified"], true);
            EXPECT_EQ(event["verified_bytes"], 16384 + 4);
        }
    }

    Result ascii = bench.run("run serial_after_image.kvatscript --json --serial-file " +
                             (bench.out() / "ascii.json").string() +
                             " --serial-start 42 --serial-addr 0x08004000 --serial-format ascii:6 --out " +
                             bench.out().string());
    ASSERT_EQ(ascii.exit_code, 0) << ascii.err;
    std::set<std::string> stored;
    for (const char *port : {"ttyKV0", "ttyKV1"}) {
        stored.insert(read_file(bench.out() / "InfoFile" / (std::string("A-") + port) / "memory.bin").substr(0, 6));
    }
    EXPECT_EQ(stored, (std::set<std::string>{"000042", "000043"}));
}

TEST(KvatRunSerials, AFailedUnitsNumberIsUsedAgainByTheNextRun) {
    const fs::path shared = fs::temp_directory_path() / ("kvat_serials_" + std::to_string(getpid()) + ".json");
    fs::remove(shared);
    const std::string serial_args = " --serial-file " + shared.string() + " --serial-start 100 --serial-addr 0x08000080";
    {
        // Writer 1 stores one bit wrong: its verify fails and its unit keeps no number.
        Bench bench(2, {.flip_bit = 0x08000020}, 1);
        Result r = bench.run("run serial_in_image.kvatscript --json" + serial_args + " --out " + bench.out().string());
        EXPECT_EQ(r.exit_code, 1) << r.err;
        const auto serials = unit_serials(r.out);
        ASSERT_EQ(serials.size(), 2u);
        const auto file = serial_file(shared);
        EXPECT_EQ(file["next"], 102);
        EXPECT_EQ(file["free"], nlohmann::json::array({serials.at("ttyKV1")}));
    }
    {
        Bench bench(2);
        Result r = bench.run("run serial_in_image.kvatscript --json" + serial_args + " --out " + bench.out().string());
        ASSERT_EQ(r.exit_code, 0) << r.err;
        std::set<std::uint64_t> numbers;
        for (const auto &[port, serial] : unit_serials(r.out)) numbers.insert(serial);
        // The given-back number first, then a new one.
        EXPECT_EQ(numbers.size(), 2u);
        EXPECT_EQ(numbers.count(serial_file(shared)["next"].get<std::uint64_t>() - 1), 1u);
        const auto file = serial_file(shared);
        EXPECT_EQ(file["next"], 103);
        EXPECT_TRUE(file["free"].empty());
    }
    fs::remove(shared);
    fs::remove(shared.string() + ".lock");
}

TEST(KvatRunSerials, TwoRunsAtOnceNeverShareANumber) {
    const fs::path shared = fs::temp_directory_path() / ("kvat_serials_twice_" + std::to_string(getpid()) + ".json");
    fs::remove(shared);
    Bench first(3);
    Bench second(3);
    const std::string serial_args = " --json --serial-file " + shared.string() + " --serial-start 1 --serial-addr 0x08000080";
    Result a, b;
    std::thread other([&] {
        a = first.run("run serial_in_image.kvatscript" + serial_args + " --out " + first.out().string());
    });
    b = second.run("run serial_in_image.kvatscript" + serial_args + " --out " + second.out().string());
    other.join();
    ASSERT_EQ(a.exit_code, 0) << a.err;
    ASSERT_EQ(b.exit_code, 0) << b.err;
    std::multiset<std::uint64_t> numbers;
    for (const auto &[port, serial] : unit_serials(a.out)) {
        numbers.insert(serial);
        EXPECT_EQ(stored_u32(first, port, 0x80), serial);
    }
    for (const auto &[port, serial] : unit_serials(b.out)) {
        numbers.insert(serial);
        EXPECT_EQ(stored_u32(second, port, 0x80), serial);
    }
    EXPECT_EQ(numbers, (std::multiset<std::uint64_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(serial_file(shared)["next"], 7);
    fs::remove(shared);
    fs::remove(shared.string() + ".lock");
}

TEST(KvatRunSerials, ASerialNumberThatIsNotWrittenWholeFailsItsUnit) {
    struct Case {
        const char *name;
        kelvra::sim::FaultSettings faults;
        const char *address;
        const char *detail;
    };
    const Case cases[] = {
        // The extra write after the image stores a bit wrong: verify finds it.
        {"stored wrong", {.flip_bit = 0x08004005}, "0x08004004", "first difference at 0x08004005"},
        // The number's bytes straddle the image's end: nothing of it is sent.
        {"straddles the image", {}, "0x08003FFE", "lie only partly in the image"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench(1, c.faults);
        const fs::path file = bench.out().parent_path() / "serial.json";
        Result r = bench.run("run serial_after_image.kvatscript --json --serial-start 9 --serial-addr " + std::string(c.address) +
                             " --serial-file " + file.string() + " --out " + bench.out().string());
        EXPECT_EQ(r.exit_code, 1) << r.err;
        EXPECT_NE(r.out.find(c.detail), std::string::npos) << r.out;
        const auto log = nlohmann::json::parse(bench.run_log());
        EXPECT_EQ(log["ttyKV0"]["-result"], false);
        // The failed unit's number is given back.
        EXPECT_EQ(serial_file(file)["free"], nlohmann::json::array({9}));
    }
}

TEST(KvatRunSerials, ASerialFileThatCannotBeUpdatedAfterThePassExitsWith5) {
    Bench bench(1);
    const fs::path file = bench.out().parent_path() / "serial.json";
    Result r;
    std::thread run([&] {
        r = bench.run("run serial_then_pause.kvatscript --serial-start 1 --serial-addr 0x08000080 --serial-file " +
                      file.string() + " --out " + bench.out().string());
    });
    // Once the number is taken (the run is writing or sleeping), the file becomes something no
    // number can be kept in.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string text = read_file(file);
        if (text.find("\"pid\"") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    fs::remove(file);
    fs::create_directory(file);
    run.join();
    EXPECT_EQ(r.exit_code, 5) << r.err;
    EXPECT_NE(r.err.find("the serial file could not be updated (exit 5)"), std::string::npos) << r.err;
    // The unit itself passed: the run log says so.
    const auto log = nlohmann::json::parse(bench.run_log());
    EXPECT_EQ(log["ttyKV0"]["-result"], true);
    EXPECT_EQ(log["ttyKV0"]["unit_serial"], 1);
    fs::remove_all(file);
    fs::remove(file.string() + ".lock");
}

TEST(KvatRunSerials, BadSerialArgumentsAreRefusedBeforeAnythingIsSent) {
    struct Case {
        const char *name;
        std::string arguments;
        int exit_code;
        const char *says;
    };
    Bench bench(2);
    const fs::path not_ours = bench.out().parent_path() / "not_ours.json";
    std::ofstream(not_ours) << R"({"next": 5})";
    const fs::path newer = bench.out().parent_path() / "newer.json";
    std::ofstream(newer) << R"({"kelvra_serial_file": 9, "next": 5})";
    const std::string run = "run serial_in_image.kvatscript --out " + bench.out().string();
    const Case cases[] = {
        {"address not a number", run + " --serial-start 1 --serial-addr 08x", 2, "--serial-addr 08x is not an address"},
        {"address beyond 32 bits", run + " --serial-start 1 --serial-addr 0x100000000", 2, "is not an address"},
        {"start not a number", run + " --serial-start -1 --serial-addr 0x08000080", 2, "--serial-start -1 is not a whole number"},
        {"start without address", run + " --serial-start 1", 2, "need --serial-addr"},
        {"unknown format", run + " --serial-start 1 --serial-addr 0x08000080 --serial-format u16", 2, "unknown serial format u16"},
        {"no width", run + " --serial-start 1 --serial-addr 0x08000080 --serial-format ascii:0", 2, "from 1 to 64"},
        {"start too wide", run + " --serial-start 1000 --serial-addr 0x08000080 --serial-format ascii:3", 2,
         "serial number 1000 needs more than 3 digits"},
        {"start beyond 32 bits", run + " --serial-start 0x100000000 --serial-addr 0x08000080", 2, "does not fit 32 bits"},
        // The first writer's number fits, the second's does not: neither is sent.
        {"runs out of digits", run + " --serial-start 99 --serial-addr 0x08000080 --serial-format ascii:2 --serial-file " +
                                   (bench.out().parent_path() / "digits.json").string(),
         3, "serial number 100 needs more than 2 digits"},
        {"no file and no start", run + " --serial-addr 0x08000080", 3, "give --serial-start"},
        {"not our file", run + " --serial-addr 0x08000080 --serial-file " + not_ours.string(), 3,
         "is not a serial file of this program"},
        {"a newer file", run + " --serial-addr 0x08000080 --serial-file " + newer.string(), 3, "of a newer kind"},
        {"no write to carry it", "run read.kvatscript --out " + bench.out().string() + " --serial-start 1 --serial-addr 0x08000080",
         3, "has no -write to carry the serial number"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Result r = bench.run(c.arguments);
        EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(bench.out() / "InfoFile")) << "something was sent";
    }
    // The refused files are as they were, and the refused run gave its numbers back.
    EXPECT_EQ(read_file(not_ours), R"({"next": 5})");
    const auto digits = serial_file(bench.out().parent_path() / "digits.json");
    EXPECT_EQ(digits["next"], 101);
    EXPECT_EQ(digits["free"], nlohmann::json::array({99, 100}));
}

}  // namespace
