// The unit database: one SQLite file holding every run and every unit (port) a station ran,
// and the outbox of what still has to reach the broker. WAL mode and one transaction per
// unit end, so a power cut loses at most the unit in flight. The schema is numbered with
// PRAGMA user_version and brought up to date step by step when an older file is opened.
// One object per thread: SQLite connections are not shared here.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace kelvra::records {

// Anything the database refused: the text says which file and why.
class DbError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct RunRow {
    std::string run_id;
    std::string start_record_id;  // the record of the run's start message
    std::string end_record_id;    // of its end message, "" until it ended
    std::string station;
    std::string script;
    std::string script_sha256;
    std::string started;  // UTC, ISO 8601 with milliseconds
    std::string ended;    // "" while it runs (or when it was killed)
    std::optional<int> exit_status;
    bool stopped = false;
};

struct UnitRow {
    std::string record_id;
    std::string run_id;
    std::string station;  // of its run
    std::string script;
    std::string script_sha256;
    std::string port;
    std::string writer_serial;
    std::string writer_type;
    std::string hw_version;
    std::string bootloader_version;
    std::string fw_version;
    std::string chip_id;
    std::string unit_serial;  // the serial number written into the unit, "" when none was
    std::vector<std::string> image_sha256;
    std::int32_t result = 0;
    std::string message;
    std::int64_t failed_step = 0;  // 1-based; 0: no step failed
    std::string failed_command;
    bool verified = false;
    std::uint64_t bytes_written = 0;
    std::uint64_t bytes_read = 0;
    std::string started;
    std::string ended;
    std::int64_t duration_ms = 0;
};

struct UnitFilter {
    std::string since;  // UTC stamp; units that started at or after it
    std::string unit_serial;
    std::string writer_serial;
    std::string run_id;
    bool failed_only = false;
};

// One message of the outbox.
struct Outgoing {
    enum class Kind { RunStart, Unit, RunEnd } kind = Kind::Unit;
    std::string record_id;
    std::string station;
    std::string payload;  // the JSON object
};

class UnitDb {
public:
    static constexpr int kSchemaVersion = 1;

    // Opens or creates the file. Throws DbError when it cannot be opened, is not a unit
    // database, or has a newer schema than this program knows. A read-only open never
    // creates or changes the file.
    static std::unique_ptr<UnitDb> Open(const std::string &path, bool read_only = false);
    ~UnitDb();
    UnitDb(const UnitDb &) = delete;
    UnitDb &operator=(const UnitDb &) = delete;

    const std::string &path() const { return path_; }
    int schema_version();

    // Each is one transaction; each throws DbError (full disk, locked past the busy wait).
    void BeginRun(const RunRow &run);
    void EndRun(const std::string &run_id, const std::string &end_record_id, const std::string &ended,
                int exit_status, bool stopped);
    void AddUnit(const UnitRow &unit);

    // Newest first.
    std::vector<UnitRow> Units(const UnitFilter &filter);
    std::optional<RunRow> Run(const std::string &run_id);

    // The outbox: run starts, then units, then run ends, oldest first, at most `limit`.
    std::vector<Outgoing> Unsent(std::size_t limit);
    std::size_t UnsentCount();
    void MarkSent(Outgoing::Kind kind, const std::string &record_id);

    // The collector: stores a record received from a station, once. False when it was there.
    bool StoreUnit(const UnitRow &unit);
    bool StoreRunMessage(const RunRow &run);

private:
    UnitDb(sqlite3 *db, std::string path);
    void exec(const char *sql);
    [[noreturn]] void fail(const std::string &what);
    static bool access(const std::filesystem::path &folder);
    void migrate(bool read_only);

    sqlite3 *db_ = nullptr;
    std::string path_;
};

}  // namespace kelvra::records
