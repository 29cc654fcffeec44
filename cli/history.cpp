// kvat history: the units a unit database holds, newest first, as a table, JSON Lines or CSV;
// --summary counts them per script and per writer.
#include "cli/records_options.h"
#include "cli/text_table.h"
#include "cli/verb.h"
#include "host/records/record_ids.h"
#include "host/records/record_json.h"
#include "host/records/unit_db.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace kvat::cli {
namespace {

using kelvra::records::UnitRow;

struct HistoryOptions {
    std::string db;
    std::string since;
    std::string serial;
    std::string writer;
    std::string run;
    bool failed = false;
    bool json = false;
    bool csv = false;
    bool summary = false;
};

// A UTC stamp from 2026-12-10, 2026-12-10T08:00[:00[.000]][Z] or an age (90s, 30m, 2h, 7d).
std::optional<std::string> since_stamp(const std::string &text) {
    std::smatch m;
    if (std::regex_match(text, m, std::regex(R"((\d+)([smhd]))"))) {
        const long long n = std::stoll(m[1].str());
        const long long unit = m[2] == "s" ? 1 : m[2] == "m" ? 60 : m[2] == "h" ? 3600 : 86400;
        if (n > 100LL * 365 * 86400 / unit) return std::nullopt;
        return kelvra::records::UtcStamp(std::chrono::system_clock::now() - std::chrono::seconds(n * unit));
    }
    if (std::regex_match(text, m,
                         std::regex(R"((\d{4}-\d\d-\d\d)(?:[T ](\d\d:\d\d)(:\d\d)?(\.\d{1,3})?Z?)?)"))) {
        std::string stamp = m[1].str() + "T" + (m[2].matched ? m[2].str() : "00:00") +
                            (m[3].matched ? m[3].str() : ":00");
        std::string ms = m[4].matched ? m[4].str().substr(1) : "";
        ms.append(3 - ms.size(), '0');
        return stamp + "." + ms + "Z";
    }
    return std::nullopt;
}

std::string seconds(std::int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(ms) / 1000.0);
    return text;
}

std::string csv_field(const std::string &text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string csv_value(const nlohmann::ordered_json &value) {
    if (value.is_string()) return csv_field(value.get<std::string>());
    if (value.is_array()) {
        std::string joined;
        for (const auto &item : value) joined += (joined.empty() ? "" : ";") + item.get<std::string>();
        return csv_field(joined);
    }
    return value.dump();
}

void print_csv(const std::vector<nlohmann::ordered_json> &records) {
    if (records.empty()) return;
    std::string header;
    for (const auto &item : records.front().items()) header += (header.empty() ? "" : ",") + item.key();
    std::printf("%s\n", header.c_str());
    for (const auto &record : records) {
        std::string line;
        bool first = true;
        for (const auto &item : record.items()) {
            line += (first ? "" : ",") + csv_value(item.value());
            first = false;
        }
        std::printf("%s\n", line.c_str());
    }
}

// Per script and per writer: units, passes, failures, first-pass yield, median time.
std::vector<nlohmann::ordered_json> summarise(const std::vector<UnitRow> &units) {
    struct Group {
        std::vector<const UnitRow *> rows;
    };
    std::map<std::pair<std::string, std::string>, Group> groups;
    for (const UnitRow &u : units) {
        groups[{"script", u.script}].rows.push_back(&u);
        groups[{"writer", u.writer_serial}].rows.push_back(&u);
    }
    std::vector<nlohmann::ordered_json> out;
    for (auto &[key, group] : groups) {
        std::size_t passed = 0;
        std::vector<std::int64_t> times;
        // A unit is its chip (or its serial number); its first attempt decides the yield.
        std::map<std::string, const UnitRow *> first;
        for (const UnitRow *u : group.rows) {
            if (u->result == 0) ++passed;
            times.push_back(u->duration_ms);
            const std::string id = !u->chip_id.empty() ? "chip " + u->chip_id
                                   : !u->unit_serial.empty() ? "serial " + u->unit_serial
                                                             : "record " + u->record_id;
            auto &earliest = first[id];
            if (earliest == nullptr || u->started < earliest->started) earliest = u;
        }
        std::size_t first_passed = 0;
        for (const auto &[id, u] : first) first_passed += u->result == 0 ? 1 : 0;
        std::sort(times.begin(), times.end());
        const std::size_t n = times.size();
        const std::int64_t median = n % 2 == 1 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
        nlohmann::ordered_json row = {{"by", key.first},
                                      {"name", key.second},
                                      {"units", n},
                                      {"passed", passed},
                                      {"failed", n - passed},
                                      {"distinct_units", first.size()},
                                      {"first_pass_yield", static_cast<double>(first_passed) /
                                                               static_cast<double>(first.size())},
                                      {"median_ms", median}};
        out.push_back(row);
    }
    return out;
}

int history(const HistoryOptions &o) {
    kelvra::records::UnitFilter filter;
    if (!o.since.empty()) {
        const auto stamp = since_stamp(o.since);
        if (!stamp) {
            std::fprintf(stderr, "kvat history: --since %s: not a time (2026-12-10, 2026-12-10T08:00, 30m, 2h, 7d)\n",
                         o.since.c_str());
            return kExitUsage;
        }
        filter.since = *stamp;
    }
    filter.unit_serial = o.serial;
    filter.writer_serial = o.writer;
    filter.failed_only = o.failed;
    const std::string path = o.db.empty() ? DefaultUnitDb(".") : o.db;
    std::vector<UnitRow> units;
    try {
        auto db = kelvra::records::UnitDb::Open(path, true);
        if (o.run == "last") {
            const auto all = db->Units({});
            if (all.empty()) {
                std::fprintf(stderr, "kvat history: %s holds no units yet\n", path.c_str());
                return kExitOk;
            }
            filter.run_id = all.front().run_id;
        } else {
            filter.run_id = o.run;
        }
        units = db->Units(filter);
    } catch (const kelvra::records::DbError &e) {
        std::fprintf(stderr, "kvat history: %s\n", e.what());
        return kExitInput;
    }
    if (o.summary) {
        const auto rows = summarise(units);
        if (o.json) {
            for (const auto &row : rows) std::printf("%s\n", kelvra::records::Dump(row).c_str());
        } else if (o.csv) {
            print_csv(rows);
        } else if (!rows.empty()) {
            std::vector<std::vector<std::string>> table = {
                {"BY", "NAME", "UNITS", "PASSED", "FAILED", "FIRST-PASS YIELD", "MEDIAN TIME"}};
            for (const auto &row : rows) {
                char yield[16];
                std::snprintf(yield, sizeof yield, "%.1f %%", row["first_pass_yield"].get<double>() * 100.0);
                const std::string name = row["name"].get<std::string>();
                table.push_back({row["by"].get<std::string>(), name.empty() ? "-" : name,
                                 std::to_string(row["units"].get<std::size_t>()),
                                 std::to_string(row["passed"].get<std::size_t>()),
                                 std::to_string(row["failed"].get<std::size_t>()), yield,
                                 seconds(row["median_ms"].get<std::int64_t>())});
            }
            PrintTable(stdout, table);
        }
    } else if (o.json) {
        for (const UnitRow &u : units) std::printf("%s\n", kelvra::records::Dump(kelvra::records::UnitJson(u)).c_str());
    } else if (o.csv) {
        std::vector<nlohmann::ordered_json> records;
        for (const UnitRow &u : units) records.push_back(kelvra::records::UnitJson(u));
        print_csv(records);
    } else if (!units.empty()) {
        std::vector<std::vector<std::string>> table = {
            {"STARTED (UTC)", "STATION", "PORT", "WRITER", "SERIAL", "RESULT", "TIME", "VERIFIED", "SCRIPT"}};
        for (const UnitRow &u : units) {
            const auto dash = [](const std::string &text) { return text.empty() ? std::string("-") : text; };
            std::string started = u.started.substr(0, 19);
            std::replace(started.begin(), started.end(), 'T', ' ');
            std::string result = u.result == 0 ? "passed" : "failed (" + std::to_string(u.result) + ")";
            if (u.failed_step != 0) result += " at step " + std::to_string(u.failed_step);
            table.push_back({dash(started), dash(u.station), dash(u.port), dash(u.writer_serial), dash(u.unit_serial),
                             result, seconds(u.duration_ms), u.verified ? "yes" : "no", dash(u.script)});
        }
        PrintTable(stdout, table);
    }
    if (units.empty() && !o.json && !o.csv) std::fprintf(stderr, "kvat history: no units match\n");
    std::fflush(stdout);
    return kExitOk;
}

void setup(CLI::App &app) {
    auto o = std::make_shared<HistoryOptions>();
    CLI::App *sub = app.add_subcommand("history", "List the units a unit database holds, newest first");
    sub->add_option("--db", o->db, "Unit database (default: log/units.db)");
    sub->add_option("--since", o->since, "Units started at or after this UTC time (2026-12-10T08:00) or age (2h, 7d)");
    sub->add_option("--serial", o->serial, "Only the unit with this serial number");
    sub->add_option("--writer", o->writer, "Only units of the writer with this serial number");
    sub->add_option("--run", o->run, "Only the units of this run id ('last': the newest run)");
    sub->add_flag("--failed", o->failed, "Only units that failed");
    auto *json = sub->add_flag("--json", o->json, "JSON Lines: one record per line");
    auto *csv = sub->add_flag("--csv", o->csv, "CSV with a header line");
    json->excludes(csv);
    sub->add_flag("--summary", o->summary,
                  "Per script and per writer: units, passes, failures, first-pass yield, median time");
    sub->footer("Exit status: 0 listed (perhaps nothing), 2 wrong arguments, 3 the database cannot be used");
    sub->callback([o] { set_exit_code(history(*o)); });
}

const bool registered = register_verb("history", setup);

}  // namespace
}  // namespace kvat::cli
