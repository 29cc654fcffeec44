// The run listener that keeps the records: fed the events a session sends.
#include "host/files/sha256.h"
#include "host/records/unit_recorder.h"
#include "records_fixture.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace kelvra::records::test {
namespace {

using namespace kelvra::run;

PortRecord port(int n) {
    PortRecord p;
    p.slot = n;
    p.name = "ttyKV" + std::to_string(n);
    p.writer = {"KVR4", "KVSIM000" + std::to_string(n), "V2.1", "V1.3", "V1.0"};
    return p;
}

void run_two_ports(UnitRecorder &recorder) {
    recorder.OnEvent(ScanFinished{{port(0), port(1)}});
    recorder.OnEvent(RunStarted{{port(0), port(1)}, 3, "log/run.json"});
    for (unsigned step = 1; step <= 3; ++step) {
        StepDone done;
        done.port = "ttyKV0";
        done.step = step;
        done.message = " None error";
        recorder.OnEvent(done);
    }
    StepDone fail;
    fail.port = "ttyKV1";
    fail.step = 2;
    fail.command_line = "-erase -t 5000";
    fail.result = 1004;
    fail.message = "Erase failed";
    fail.detail = "sector 3";
    recorder.OnEvent(fail);
    PortEnded a;
    a.port = "ttyKV0";
    a.unit = {"KVSIM0000", "0a0b", "2026-12-10T08:00:00.000Z", "2026-12-10T08:00:01.500Z", 1500, 4096, 0, true,
              {std::string(64, 'e')}, 4711};
    recorder.OnEvent(a);
    PortEnded b;
    b.port = "ttyKV1";
    b.result = 1004;
    b.unit.started = "2026-12-10T08:00:00.000Z";
    b.unit.ended = "2026-12-10T08:00:00.700Z";
    recorder.OnEvent(b);
    RunFinished finished;
    finished.summary.ok = false;
    recorder.OnEvent(finished);
}

TEST(UnitRecorder, RecordsTheRunAndEachUnitWithWhatFailedWhere) {
    Scratch scratch;
    std::ofstream(scratch.path("line.kvatscript")) << "-connect\n-erase -t 5000\n";
    int stored = 0;
    {
        UnitRecorder recorder({scratch.path("units.db"), "st1", [&] { ++stored; }});
        recorder.SetScript(scratch.path("line.kvatscript"));
        run_two_ports(recorder);
        ASSERT_TRUE(recorder.Drain(std::chrono::seconds(10)));
        EXPECT_TRUE(recorder.errors().empty());
    }
    EXPECT_EQ(stored, 4);  // the start, two units, the end
    auto db = UnitDb::Open(scratch.path("units.db"), true);
    const auto units = db->Units({});
    ASSERT_EQ(units.size(), 2u);
    const UnitRow &ok = units[0].port == "ttyKV0" ? units[0] : units[1];
    const UnitRow &bad = units[0].port == "ttyKV0" ? units[1] : units[0];
    EXPECT_EQ(ok.result, 0);
    EXPECT_EQ(ok.message, "None error");
    EXPECT_EQ(ok.failed_step, 0);
    EXPECT_EQ(ok.chip_id, "0a0b");
    EXPECT_EQ(ok.unit_serial, "4711");
    EXPECT_EQ(bad.unit_serial, "");
    EXPECT_EQ(ok.duration_ms, 1500);
    EXPECT_TRUE(ok.verified);
    EXPECT_EQ(ok.image_sha256, std::vector<std::string>{std::string(64, 'e')});
    EXPECT_EQ(ok.station, "st1");
    const std::string script = "-connect\n-erase -t 5000\n";
    EXPECT_EQ(ok.script_sha256, files::Sha256Hex(script.data(), script.size()));
    EXPECT_EQ(ok.script, scratch.path("line.kvatscript"));
    EXPECT_EQ(bad.result, 1004);
    EXPECT_EQ(bad.failed_step, 2);
    EXPECT_EQ(bad.failed_command, "-erase -t 5000");
    EXPECT_EQ(bad.message, "Erase failed: sector 3");
    // Who the writer is comes from the scan when the port's end does not say.
    EXPECT_EQ(bad.writer_serial, "KVSIM0001");
    EXPECT_EQ(bad.writer_type, "KVR4");
    EXPECT_EQ(bad.fw_version, "V1.0");
    const auto run = db->Run(ok.run_id);
    ASSERT_TRUE(run);
    EXPECT_EQ(run->exit_status, 1);
    EXPECT_FALSE(run->ended.empty());
}

TEST(UnitRecorder, ALockedDatabaseIsAnErrorLineAndTheEventsGoOn) {
    Scratch scratch;
    const std::string path = scratch.path("units.db");
    UnitRecorder recorder({path, "st1", nullptr});
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    run_two_ports(recorder);  // returns at once: the writes wait on the recorder's thread
    ASSERT_TRUE(recorder.Drain(std::chrono::seconds(30)));
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    const auto errors = recorder.errors();
    ASSERT_EQ(errors.size(), 4u);
    for (const std::string &e : errors) EXPECT_NE(e.find("database is locked"), std::string::npos) << e;
}

TEST(UnitRecorder, RefusesADatabaseThatIsNotOurs) {
    Scratch scratch;
    std::ofstream(scratch.path("units.db")) << "not a database";
    EXPECT_THROW(UnitRecorder({scratch.path("units.db"), "st1", nullptr}), DbError);
    EXPECT_EQ(file_text(scratch.path("units.db")), "not a database");
}

}  // namespace
}  // namespace kelvra::records::test
