// The records as the broker and `kvat history --json` carry them: one JSON object each. A unit
// record holds the members of kvat run's port_done event and who made it (record_id, run_id,
// station, script, script_sha256); a run record is its start ("phase": "start") or its end.
#pragma once

#include "host/records/unit_db.h"

#include <nlohmann/json.hpp>

#include <string>

namespace kelvra::records {

nlohmann::ordered_json UnitJson(const UnitRow &unit);
nlohmann::ordered_json RunStartJson(const RunRow &run);
nlohmann::ordered_json RunEndJson(const RunRow &run);

// Reads a record back. Returns "" and fills `out`, or says why the text is not a record.
std::string ParseUnit(const std::string &text, UnitRow &out);
std::string ParseRun(const std::string &text, RunRow &out);

// The compact text of a record (invalid UTF-8 replaced, never thrown on).
std::string Dump(const nlohmann::ordered_json &value);

}  // namespace kelvra::records
