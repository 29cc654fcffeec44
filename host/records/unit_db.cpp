#include "host/records/unit_db.h"

#include "host/records/record_json.h"

#include <sqlite3.h>

#include <filesystem>

namespace kelvra::records {
namespace {

// "KVUD" in the file's header: tells our files from any other SQLite file.
constexpr int kApplicationId = 0x4B565544;
constexpr int kBusyWaitMs = 2000;

// Step N brings a file from user_version N to N + 1; a later schema appends a step.
const char *const kMigrations[] = {
    R"(CREATE TABLE runs (
         run_id TEXT PRIMARY KEY,
         start_record_id TEXT NOT NULL DEFAULT '',
         end_record_id TEXT NOT NULL DEFAULT '',
         station TEXT NOT NULL DEFAULT '',
         script TEXT NOT NULL DEFAULT '',
         script_sha256 TEXT NOT NULL DEFAULT '',
         started TEXT NOT NULL DEFAULT '',
         ended TEXT NOT NULL DEFAULT '',
         exit_status INTEGER,
         stopped INTEGER NOT NULL DEFAULT 0,
         start_sent INTEGER NOT NULL DEFAULT 0,
         end_sent INTEGER NOT NULL DEFAULT 0);
       CREATE TABLE units (
         record_id TEXT PRIMARY KEY,
         run_id TEXT NOT NULL,
         port TEXT NOT NULL,
         writer_serial TEXT NOT NULL,
         writer_type TEXT NOT NULL,
         hw_version TEXT NOT NULL,
         bootloader_version TEXT NOT NULL,
         fw_version TEXT NOT NULL,
         chip_id TEXT NOT NULL,
         unit_serial TEXT NOT NULL,
         image_sha256 TEXT NOT NULL,
         result INTEGER NOT NULL,
         message TEXT NOT NULL,
         failed_step INTEGER NOT NULL,
         failed_command TEXT NOT NULL,
         verified INTEGER NOT NULL,
         bytes_written INTEGER NOT NULL,
         bytes_read INTEGER NOT NULL,
         started TEXT NOT NULL,
         ended TEXT NOT NULL,
         duration_ms INTEGER NOT NULL,
         sent INTEGER NOT NULL DEFAULT 0);
       CREATE INDEX units_by_run ON units(run_id);
       CREATE INDEX units_by_start ON units(started);
       CREATE INDEX units_unsent ON units(sent) WHERE sent = 0;)",
};
static_assert(std::size(kMigrations) == UnitDb::kSchemaVersion);

// One prepared statement; its text's errors are the database's.
class Statement {
public:
    Statement(sqlite3 *db, const char *sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    bool ok() const { return stmt_ != nullptr; }
    Statement &bind(const std::string &text) {
        sqlite3_bind_text(stmt_, ++index_, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement &bind(std::int64_t value) {
        sqlite3_bind_int64(stmt_, ++index_, value);
        return *this;
    }
    Statement &bind_null() {
        sqlite3_bind_null(stmt_, ++index_);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
    std::string text(int column) const {
        const auto *p = sqlite3_column_text(stmt_, column);
        return p ? std::string(reinterpret_cast<const char *>(p), static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                 : std::string();
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    bool is_null(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

private:
    sqlite3 *db_;
    sqlite3_stmt *stmt_ = nullptr;
    int index_ = 0;
};

std::string uri_of(const std::string &path) {
    std::string uri = "file:";
    for (const char c : std::filesystem::absolute(path).string()) {
        if (c == '%' || c == '?' || c == '#') {
            static const char digits[] = "0123456789ABCDEF";
            uri += '%';
            uri += digits[static_cast<unsigned char>(c) >> 4];
            uri += digits[static_cast<unsigned char>(c) & 0x0F];
        } else {
            uri += c;
        }
    }
    return uri + "?immutable=1";
}

const char *kUnitColumns =
    "u.record_id, u.run_id, r.station, r.script, r.script_sha256, u.port, u.writer_serial, u.writer_type, "
    "u.hw_version, u.bootloader_version, u.fw_version, u.chip_id, u.unit_serial, u.image_sha256, u.result, "
    "u.message, u.failed_step, u.failed_command, u.verified, u.bytes_written, u.bytes_read, u.started, u.ended, "
    "u.duration_ms FROM units u LEFT JOIN runs r ON r.run_id = u.run_id";

UnitRow read_unit(const Statement &s) {
    UnitRow u;
    u.record_id = s.text(0);
    u.run_id = s.text(1);
    u.station = s.text(2);
    u.script = s.text(3);
    u.script_sha256 = s.text(4);
    u.port = s.text(5);
    u.writer_serial = s.text(6);
    u.writer_type = s.text(7);
    u.hw_version = s.text(8);
    u.bootloader_version = s.text(9);
    u.fw_version = s.text(10);
    u.chip_id = s.text(11);
    u.unit_serial = s.text(12);
    const auto images = nlohmann::json::parse(s.text(13), nullptr, false);
    if (images.is_array()) {
        for (const auto &image : images) {
            if (image.is_string()) u.image_sha256.push_back(image.get<std::string>());
        }
    }
    u.result = static_cast<std::int32_t>(s.integer(14));
    u.message = s.text(15);
    u.failed_step = s.integer(16);
    u.failed_command = s.text(17);
    u.verified = s.integer(18) != 0;
    u.bytes_written = static_cast<std::uint64_t>(s.integer(19));
    u.bytes_read = static_cast<std::uint64_t>(s.integer(20));
    u.started = s.text(21);
    u.ended = s.text(22);
    u.duration_ms = s.integer(23);
    return u;
}

const char *kRunColumns =
    "run_id, start_record_id, end_record_id, station, script, script_sha256, started, ended, exit_status, stopped "
    "FROM runs";

RunRow read_run(const Statement &s) {
    RunRow r;
    r.run_id = s.text(0);
    r.start_record_id = s.text(1);
    r.end_record_id = s.text(2);
    r.station = s.text(3);
    r.script = s.text(4);
    r.script_sha256 = s.text(5);
    r.started = s.text(6);
    r.ended = s.text(7);
    if (!s.is_null(8)) r.exit_status = static_cast<int>(s.integer(8));
    r.stopped = s.integer(9) != 0;
    return r;
}

}  // namespace

UnitDb::UnitDb(sqlite3 *db, std::string path) : db_(db), path_(std::move(path)) {}

UnitDb::~UnitDb() { sqlite3_close_v2(db_); }

std::unique_ptr<UnitDb> UnitDb::Open(const std::string &path, bool read_only) {
    std::error_code error;
    if (read_only && !std::filesystem::exists(path, error)) throw DbError(path + ": no unit database there");
    if (std::filesystem::is_directory(path, error)) throw DbError(path + ": is a folder, not a unit database");
    const int flags = read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    for (const bool immutable : {false, true}) {
        sqlite3 *handle = nullptr;
        const std::string name = immutable ? uri_of(path) : path;
        const int rc = sqlite3_open_v2(name.c_str(), &handle, flags | (immutable ? SQLITE_OPEN_URI : 0), nullptr);
        std::unique_ptr<UnitDb> db(new UnitDb(handle, path));
        if (rc != SQLITE_OK) {
            if (!read_only) {
                const auto folder = std::filesystem::absolute(path).parent_path();
                throw DbError(path + ": cannot open the unit database: " + sqlite3_errstr(rc) +
                              (access(folder) ? "" : " (the folder " + folder.string() + " cannot be written)"));
            }
            throw DbError(path + ": cannot open the unit database: " + sqlite3_errstr(rc));
        }
        sqlite3_busy_timeout(handle, kBusyWaitMs);
        try {
            db->migrate(read_only);
        } catch (const DbError &) {
            // A WAL file in a folder we may not write: read it as it stands, without its -shm.
            if (read_only && !immutable &&
                (sqlite3_errcode(handle) == SQLITE_CANTOPEN || sqlite3_errcode(handle) == SQLITE_READONLY)) {
                continue;
            }
            throw;
        }
        return db;
    }
    throw DbError(path + ": cannot be read");
}

bool UnitDb::access(const std::filesystem::path &folder) {
    std::error_code error;
    const auto status = std::filesystem::status(folder, error);
    if (error) return false;
    // Asking the system is the only sure way: try to make and remove a file.
    const auto probe = folder / ".kvat-write-probe";
    std::FILE *file = std::fopen(probe.c_str(), "wb");
    if (file == nullptr) return false;
    std::fclose(file);
    std::filesystem::remove(probe, error);
    (void)status;
    return true;
}

void UnitDb::exec(const char *sql) {
    char *message = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        const std::string text = message ? message : sqlite3_errstr(rc);
        sqlite3_free(message);
        throw DbError(path_ + ": " + text);
    }
}

void UnitDb::fail(const std::string &what) { throw DbError(path_ + ": " + what + ": " + sqlite3_errmsg(db_)); }

void UnitDb::migrate(bool read_only) {
    std::int64_t application = 0;
    {
        Statement app(db_, "PRAGMA application_id");
        if (!app.ok() || app.step() != SQLITE_ROW) {
            const int code = sqlite3_errcode(db_);
            if (code == SQLITE_NOTADB) throw DbError(path_ + ": not a unit database (not an SQLite file)");
            fail("cannot be read");
        }
        application = app.integer(0);
    }
    const int version = schema_version();
    if (application == 0 && version == 0) {
        std::int64_t count = 0;
        {
            Statement tables(db_, "SELECT count(*) FROM sqlite_master");
            if (tables.step() != SQLITE_ROW) fail("cannot be read");
            count = tables.integer(0);
        }
        if (count > 0) throw DbError(path_ + ": not a unit database (an SQLite file of another program)");
        if (read_only) throw DbError(path_ + ": an empty file, not a unit database");
    } else if (application != kApplicationId) {
        throw DbError(path_ + ": not a unit database (an SQLite file of another program)");
    }
    if (version > kSchemaVersion) {
        throw DbError(path_ + ": a unit database of schema version " + std::to_string(version) +
                      ", newer than this kvat knows (" + std::to_string(kSchemaVersion) + "): use a newer kvat");
    }
    if (read_only) {
        if (version < kSchemaVersion) {
            throw DbError(path_ + ": a unit database of the older schema version " + std::to_string(version) +
                          ": open it once with kvat run or kvat collect to bring it up to date");
        }
        return;
    }
    // WAL: readers never block the writer, and a cut-off write never corrupts the file.
    {
        Statement wal(db_, "PRAGMA journal_mode=WAL");
        if (wal.step() != SQLITE_ROW || wal.text(0) != "wal") fail("cannot switch to WAL mode");
    }
    exec("PRAGMA synchronous=FULL");
    if (version == kSchemaVersion) return;
    exec("BEGIN IMMEDIATE");
    try {
        // Another process may have brought it up to date while we waited for the lock.
        const int now = schema_version();
        for (int step = now; step < kSchemaVersion; ++step) exec(kMigrations[step]);
        exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str());
        exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

int UnitDb::schema_version() {
    Statement s(db_, "PRAGMA user_version");
    if (!s.ok() || s.step() != SQLITE_ROW) {
        if (sqlite3_errcode(db_) == SQLITE_NOTADB) throw DbError(path_ + ": not a unit database (not an SQLite file)");
        fail("cannot be read");
    }
    return static_cast<int>(s.integer(0));
}

void UnitDb::BeginRun(const RunRow &run) {
    Statement s(db_,
                "INSERT INTO runs (run_id, start_record_id, station, script, script_sha256, started) "
                "VALUES (?, ?, ?, ?, ?, ?)");
    s.bind(run.run_id).bind(run.start_record_id).bind(run.station).bind(run.script).bind(run.script_sha256)
        .bind(run.started);
    if (s.step() != SQLITE_DONE) fail("cannot record the run's start");
}

void UnitDb::EndRun(const std::string &run_id, const std::string &end_record_id, const std::string &ended,
                    int exit_status, bool stopped) {
    Statement s(db_, "UPDATE runs SET end_record_id = ?, ended = ?, exit_status = ?, stopped = ? WHERE run_id = ?");
    s.bind(end_record_id).bind(ended).bind(std::int64_t{exit_status}).bind(std::int64_t{stopped}).bind(run_id);
    if (s.step() != SQLITE_DONE) fail("cannot record the run's end");
}

namespace {

bool insert_unit(sqlite3 *db, const UnitRow &u, bool sent, bool ignore_known) {
    Statement s(db, ignore_known
                        ? "INSERT OR IGNORE INTO units VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"
                        : "INSERT INTO units VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    s.bind(u.record_id).bind(u.run_id).bind(u.port).bind(u.writer_serial).bind(u.writer_type).bind(u.hw_version)
        .bind(u.bootloader_version).bind(u.fw_version).bind(u.chip_id).bind(u.unit_serial)
        .bind(nlohmann::json(u.image_sha256).dump()).bind(std::int64_t{u.result}).bind(u.message)
        .bind(u.failed_step).bind(u.failed_command).bind(std::int64_t{u.verified})
        .bind(static_cast<std::int64_t>(u.bytes_written)).bind(static_cast<std::int64_t>(u.bytes_read))
        .bind(u.started).bind(u.ended).bind(u.duration_ms).bind(std::int64_t{sent});
    return s.step() == SQLITE_DONE;
}

}  // namespace

void UnitDb::AddUnit(const UnitRow &unit) {
    if (!insert_unit(db_, unit, false, false)) fail("cannot record the unit of " + unit.port);
}

std::vector<UnitRow> UnitDb::Units(const UnitFilter &filter) {
    std::string sql = std::string("SELECT ") + kUnitColumns + " WHERE 1";
    if (!filter.since.empty()) sql += " AND u.started >= ?";
    if (!filter.unit_serial.empty()) sql += " AND u.unit_serial = ?";
    if (!filter.writer_serial.empty()) sql += " AND u.writer_serial = ?";
    if (!filter.run_id.empty()) sql += " AND u.run_id = ?";
    if (filter.failed_only) sql += " AND u.result != 0";
    sql += " ORDER BY u.started DESC, u.rowid DESC";
    Statement s(db_, sql.c_str());
    if (!s.ok()) fail("cannot be read");
    if (!filter.since.empty()) s.bind(filter.since);
    if (!filter.unit_serial.empty()) s.bind(filter.unit_serial);
    if (!filter.writer_serial.empty()) s.bind(filter.writer_serial);
    if (!filter.run_id.empty()) s.bind(filter.run_id);
    std::vector<UnitRow> units;
    int rc = SQLITE_ROW;
    while ((rc = s.step()) == SQLITE_ROW) units.push_back(read_unit(s));
    if (rc != SQLITE_DONE) fail("cannot be read");
    return units;
}

std::optional<RunRow> UnitDb::Run(const std::string &run_id) {
    Statement s(db_, (std::string("SELECT ") + kRunColumns + " WHERE run_id = ?").c_str());
    s.bind(run_id);
    const int rc = s.step();
    if (rc == SQLITE_ROW) return read_run(s);
    if (rc != SQLITE_DONE) fail("cannot be read");
    return std::nullopt;
}

std::vector<Outgoing> UnitDb::Unsent(std::size_t limit) {
    std::vector<Outgoing> out;
    const auto count = static_cast<std::int64_t>(limit);
    {
        Statement s(db_, (std::string("SELECT ") + kRunColumns + " WHERE start_sent = 0 ORDER BY started LIMIT ?").c_str());
        s.bind(count);
        int rc = SQLITE_ROW;
        while ((rc = s.step()) == SQLITE_ROW) {
            const RunRow r = read_run(s);
            out.push_back({Outgoing::Kind::RunStart, r.start_record_id, r.station, Dump(RunStartJson(r))});
        }
        if (rc != SQLITE_DONE) fail("cannot read the outbox");
    }
    {
        Statement s(db_, (std::string("SELECT ") + kUnitColumns + " WHERE u.sent = 0 ORDER BY u.rowid LIMIT ?").c_str());
        s.bind(count);
        int rc = SQLITE_ROW;
        while ((rc = s.step()) == SQLITE_ROW) {
            const UnitRow u = read_unit(s);
            out.push_back({Outgoing::Kind::Unit, u.record_id, u.station, Dump(UnitJson(u))});
        }
        if (rc != SQLITE_DONE) fail("cannot read the outbox");
    }
    {
        Statement s(db_, (std::string("SELECT ") + kRunColumns +
                          " WHERE end_sent = 0 AND end_record_id != '' ORDER BY ended LIMIT ?").c_str());
        s.bind(count);
        int rc = SQLITE_ROW;
        while ((rc = s.step()) == SQLITE_ROW) {
            const RunRow r = read_run(s);
            out.push_back({Outgoing::Kind::RunEnd, r.end_record_id, r.station, Dump(RunEndJson(r))});
        }
        if (rc != SQLITE_DONE) fail("cannot read the outbox");
    }
    return out;
}

std::size_t UnitDb::UnsentCount() {
    Statement s(db_,
                "SELECT (SELECT count(*) FROM units WHERE sent = 0) + (SELECT count(*) FROM runs WHERE start_sent = 0)"
                " + (SELECT count(*) FROM runs WHERE end_sent = 0 AND end_record_id != '')");
    if (s.step() != SQLITE_ROW) fail("cannot read the outbox");
    return static_cast<std::size_t>(s.integer(0));
}

void UnitDb::MarkSent(Outgoing::Kind kind, const std::string &record_id) {
    const char *sql = kind == Outgoing::Kind::Unit       ? "UPDATE units SET sent = 1 WHERE record_id = ?"
                      : kind == Outgoing::Kind::RunStart ? "UPDATE runs SET start_sent = 1 WHERE start_record_id = ?"
                                                         : "UPDATE runs SET end_sent = 1 WHERE end_record_id = ?";
    Statement s(db_, sql);
    s.bind(record_id);
    if (s.step() != SQLITE_DONE) fail("cannot mark a record sent");
}

bool UnitDb::StoreUnit(const UnitRow &unit) {
    exec("BEGIN IMMEDIATE");
    try {
        // The unit may come before its run's start: the run's row is made from what it says.
        Statement run(db_,
                      "INSERT OR IGNORE INTO runs (run_id, station, script, script_sha256, start_sent, end_sent) "
                      "VALUES (?, ?, ?, ?, 1, 1)");
        run.bind(unit.run_id).bind(unit.station).bind(unit.script).bind(unit.script_sha256);
        if (run.step() != SQLITE_DONE) fail("cannot store a run");
        if (!insert_unit(db_, unit, true, true)) fail("cannot store a unit");
        const bool stored = sqlite3_changes(db_) > 0;
        exec("COMMIT");
        return stored;
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

bool UnitDb::StoreRunMessage(const RunRow &r) {
    exec("BEGIN IMMEDIATE");
    try {
        Statement run(db_,
                      "INSERT OR IGNORE INTO runs (run_id, station, script, script_sha256, started, start_sent, end_sent) "
                      "VALUES (?, ?, ?, ?, ?, 1, 1)");
        run.bind(r.run_id).bind(r.station).bind(r.script).bind(r.script_sha256).bind(r.started);
        if (run.step() != SQLITE_DONE) fail("cannot store a run");
        bool stored = false;
        if (!r.start_record_id.empty()) {
            Statement s(db_, "UPDATE runs SET start_record_id = ?, started = ? WHERE run_id = ? AND start_record_id = ''");
            s.bind(r.start_record_id).bind(r.started).bind(r.run_id);
            if (s.step() != SQLITE_DONE) fail("cannot store a run's start");
            stored = sqlite3_changes(db_) > 0;
        } else {
            Statement s(db_,
                        "UPDATE runs SET end_record_id = ?, ended = ?, exit_status = ?, stopped = ?, "
                        "started = CASE WHEN started = '' THEN ? ELSE started END "
                        "WHERE run_id = ? AND end_record_id = ''");
            s.bind(r.end_record_id).bind(r.ended).bind(std::int64_t{r.exit_status.value_or(-1)})
                .bind(std::int64_t{r.stopped}).bind(r.started).bind(r.run_id);
            if (s.step() != SQLITE_DONE) fail("cannot store a run's end");
            stored = sqlite3_changes(db_) > 0;
        }
        exec("COMMIT");
        return stored;
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

}  // namespace kelvra::records
