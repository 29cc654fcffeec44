// The unit database: what it keeps, what it refuses, and the outbox.
#include "host/records/record_json.h"
#include "host/records/unit_db.h"
#include "records_fixture.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <set>

namespace kelvra::records::test {
namespace {

void raw_sql(const std::string &path, const std::string &sql) {
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char *error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

std::string open_error(const std::string &path, bool read_only) {
    try {
        UnitDb::Open(path, read_only);
    } catch (const DbError &e) {
        return e.what();
    }
    return "";
}

void expect_same_unit(const UnitRow &a, const UnitRow &b) {
    EXPECT_EQ(Dump(UnitJson(a)), Dump(UnitJson(b)));
}

TEST(UnitDb, KeepsRunsAndUnitsAndReadsThemBackNewestFirst) {
    Scratch scratch;
    const std::string path = scratch.path("units.db");
    RunRow run = sample_run();
    std::vector<UnitRow> units;
    {
        auto db = UnitDb::Open(path);
        EXPECT_EQ(db->schema_version(), UnitDb::kSchemaVersion);
        db->BeginRun(run);
        for (int i = 0; i < 3; ++i) {
            units.push_back(sample_unit(run, i, i == 1 ? 1004 : 0));
            db->AddUnit(units.back());
        }
        db->EndRun(run.run_id, NewUuid(), UtcNow(), 1, false);
    }
    auto db = UnitDb::Open(path, true);
    const auto back = db->Units({});
    ASSERT_EQ(back.size(), 3u);
    expect_same_unit(back[0], units[2]);
    expect_same_unit(back[1], units[1]);
    expect_same_unit(back[2], units[0]);
    const auto stored = db->Run(run.run_id);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->exit_status, 1);
    EXPECT_FALSE(stored->ended.empty());

    // Each filter alone.
    EXPECT_EQ(db->Units({.failed_only = true}).size(), 1u);
    EXPECT_EQ(db->Units({.unit_serial = units[0].unit_serial}).size(), 1u);
    EXPECT_EQ(db->Units({.writer_serial = units[2].writer_serial}).at(0).record_id, units[2].record_id);
    EXPECT_EQ(db->Units({.since = units[1].started}).size(), 2u);
    EXPECT_EQ(db->Units({.run_id = NewUuid()}).size(), 0u);
}

TEST(UnitDb, TheFileIsInWalModeWithItsSchemaVersion) {
    Scratch scratch;
    const std::string path = scratch.path("units.db");
    UnitDb::Open(path);
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const auto value = [&](const char *sql) {
        sqlite3_stmt *s = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
        std::string text;
        if (sqlite3_step(s) == SQLITE_ROW) text = reinterpret_cast<const char *>(sqlite3_column_text(s, 0));
        sqlite3_finalize(s);
        return text;
    };
    EXPECT_EQ(value("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(value("PRAGMA user_version"), std::to_string(UnitDb::kSchemaVersion));
    EXPECT_EQ(value("SELECT count(*) FROM sqlite_master WHERE name IN ('runs', 'units')"), "2");
    sqlite3_close(db);
}

struct BadFile {
    const char *name;
    std::function<void(const std::string &path)> make;
    const char *error;
};

class UnitDbRefuses : public ::testing::TestWithParam<BadFile> {};

TEST_P(UnitDbRefuses, AFileThatIsNotOursAndLeavesItAsItWas) {
    Scratch scratch;
    const std::string path = scratch.path("units.db");
    GetParam().make(path);
    const std::string before = file_text(path);
    for (const bool read_only : {false, true}) {
        const std::string error = open_error(path, read_only);
        EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
        EXPECT_NE(error.find(path), std::string::npos) << "the error names the file: " << error;
    }
    EXPECT_EQ(file_text(path), before) << "the file was changed";
}

INSTANTIATE_TEST_SUITE_P(
    Files, UnitDbRefuses,
    ::testing::Values(
        BadFile{"Text", [](const std::string &p) { std::ofstream(p) << "station,unit\nA,1\n"; },
                "not a unit database (not an SQLite file)"},
        BadFile{"AnotherProgramsDatabase",
                [](const std::string &p) { raw_sql(p, "CREATE TABLE contacts (name TEXT); INSERT INTO contacts VALUES ('x')"); },
                "not a unit database (an SQLite file of another program)"},
        BadFile{"AnotherProgramsIdentity",
                [](const std::string &p) { raw_sql(p, "PRAGMA application_id = 1234; PRAGMA user_version = 1"); },
                "not a unit database (an SQLite file of another program)"},
        BadFile{"NewerSchema",
                [](const std::string &p) {
                    UnitDb::Open(p);
                    raw_sql(p, "PRAGMA user_version = 7");
                },
                "schema version 7, newer than this kvat knows (1)"}),
    [](const ::testing::TestParamInfo<BadFile> &p) { return std::string(p.param.name); });

TEST(UnitDb, AMissingFileIsNotMadeByAReader) {
    Scratch scratch;
    const std::string path = scratch.path("none.db");
    EXPECT_NE(open_error(path, true).find("no unit database there"), std::string::npos);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_NE(open_error(scratch.dir().string(), false).find("is a folder"), std::string::npos);
}

TEST(UnitDb, AReadOnlyFolderIsAClearErrorAndItsDatabaseStillReads) {
    Scratch scratch;
    const fs::path folder = scratch.dir() / "ro";
    fs::create_directories(folder);
    const std::string existing = (folder / "units.db").string();
    fill_station(existing, "st1", 3);
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    ::chmod(existing.c_str(), 0644);
    // Creating a database there fails and says why.
    const std::string made = as_unprivileged([&] { return open_error((folder / "new.db").string(), false); });
    EXPECT_NE(made.find("cannot open the unit database"), std::string::npos) << made;
    EXPECT_NE(made.find("cannot be written"), std::string::npos) << made;
    // The database already there is read as it stands.
    const std::string read = as_unprivileged([&] {
        try {
            return std::to_string(UnitDb::Open(existing, true)->Units({}).size());
        } catch (const DbError &e) {
            return std::string(e.what());
        }
    });
    EXPECT_EQ(read, "3");
}

TEST(UnitDb, TheOutboxHoldsWhatWasNotAcknowledged) {
    Scratch scratch;
    auto db = UnitDb::Open(scratch.path("units.db"));
    const RunRow run = sample_run();
    db->BeginRun(run);
    const UnitRow a = sample_unit(run, 0), b = sample_unit(run, 1);
    db->AddUnit(a);
    db->AddUnit(b);
    const std::string end_id = NewUuid();
    db->EndRun(run.run_id, end_id, UtcNow(), 0, false);
    auto out = db->Unsent(100);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].kind, Outgoing::Kind::RunStart);
    EXPECT_EQ(out[0].record_id, run.start_record_id);
    EXPECT_EQ(out[1].record_id, a.record_id);
    EXPECT_EQ(out[2].record_id, b.record_id);
    EXPECT_EQ(out[3].kind, Outgoing::Kind::RunEnd);
    EXPECT_EQ(out[3].record_id, end_id);
    UnitRow parsed;
    EXPECT_EQ(ParseUnit(out[1].payload, parsed), "");
    expect_same_unit(parsed, a);
    db->MarkSent(Outgoing::Kind::RunStart, run.start_record_id);
    db->MarkSent(Outgoing::Kind::Unit, a.record_id);
    EXPECT_EQ(db->UnsentCount(), 2u);
    out = db->Unsent(100);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].record_id, b.record_id);
}

TEST(UnitDb, TheCollectorStoresEachRecordOnce) {
    Scratch scratch;
    auto db = UnitDb::Open(scratch.path("plant.db"));
    RunRow run = sample_run("st7");
    const UnitRow unit = sample_unit(run, 3);
    // The unit may come before its run's start.
    EXPECT_TRUE(db->StoreUnit(unit));
    EXPECT_FALSE(db->StoreUnit(unit));
    RunRow start = run;
    EXPECT_TRUE(db->StoreRunMessage(start));
    EXPECT_FALSE(db->StoreRunMessage(start));
    RunRow end = run;
    end.start_record_id.clear();
    end.end_record_id = NewUuid();
    end.ended = UtcNow();
    end.exit_status = 0;
    EXPECT_TRUE(db->StoreRunMessage(end));
    EXPECT_FALSE(db->StoreRunMessage(end));
    const auto units = db->Units({});
    ASSERT_EQ(units.size(), 1u);
    expect_same_unit(units[0], unit);
    const auto stored = db->Run(run.run_id);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->started, run.started);
    EXPECT_EQ(stored->ended, end.ended);
    EXPECT_EQ(stored->exit_status, 0);
    // What the collector stored is not its own to send again.
    EXPECT_EQ(db->UnsentCount(), 0u);
}

TEST(UnitDb, ALockedDatabaseIsAnErrorAfterABoundedWait) {
    Scratch scratch;
    const std::string path = scratch.path("units.db");
    auto db = UnitDb::Open(path);
    const RunRow run = sample_run();
    db->BeginRun(run);
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    try {
        db->AddUnit(sample_unit(run, 0));
        ADD_FAILURE() << "a locked database took the unit";
    } catch (const DbError &e) {
        EXPECT_NE(std::string(e.what()).find("locked"), std::string::npos) << e.what();
    }
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    db->AddUnit(sample_unit(run, 1));
    EXPECT_EQ(db->Units({}).size(), 1u);
}

}  // namespace
}  // namespace kelvra::records::test
