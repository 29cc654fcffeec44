#include "host/records/record_json.h"

#include <regex>

namespace kelvra::records {
namespace {

using nlohmann::ordered_json;

bool is_uuid(const std::string &text) {
    static const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
    return std::regex_match(text, form);
}

// Reads members by name, remembering the first that is missing or of the wrong type.
class Reader {
public:
    explicit Reader(const nlohmann::json &object) : object_(object) {}
    std::string text(const char *name, bool required = true) {
        const auto it = object_.find(name);
        if (it == object_.end() || it->is_null()) {
            if (required) missing(name);
            return {};
        }
        if (!it->is_string()) return wrong(name, "a string"), std::string();
        return it->get<std::string>();
    }
    template <typename T>
    T number(const char *name, bool required = true) {
        const auto it = object_.find(name);
        if (it == object_.end() || it->is_null()) {
            if (required) missing(name);
            return T{};
        }
        if (!it->is_number_integer()) return wrong(name, "an integer"), T{};
        return it->get<T>();
    }
    bool flag(const char *name, bool required = true) {
        const auto it = object_.find(name);
        if (it == object_.end()) {
            if (required) missing(name);
            return false;
        }
        if (!it->is_boolean()) return wrong(name, "true or false"), false;
        return it->get<bool>();
    }
    std::vector<std::string> texts(const char *name) {
        std::vector<std::string> list;
        const auto it = object_.find(name);
        if (it == object_.end()) return missing(name), list;
        if (!it->is_array()) return wrong(name, "an array"), list;
        for (const auto &item : *it) {
            if (!item.is_string()) return wrong(name, "an array of strings"), list;
            list.push_back(item.get<std::string>());
        }
        return list;
    }
    const std::string &error() const { return error_; }

private:
    void missing(const char *name) {
        if (error_.empty()) error_ = std::string("no member \"") + name + "\"";
    }
    void wrong(const char *name, const char *what) {
        if (error_.empty()) error_ = std::string("member \"") + name + "\" is not " + what;
    }
    const nlohmann::json &object_;
    std::string error_;
};

std::string parse_object(const std::string &text, nlohmann::json &object) {
    object = nlohmann::json::parse(text, nullptr, false);
    if (object.is_discarded()) return "not JSON";
    if (!object.is_object()) return "not a JSON object";
    return {};
}

void add_source(ordered_json &record, const std::string &record_id, const std::string &run_id,
                const std::string &station, const std::string &script, const std::string &script_sha256) {
    record["record_id"] = record_id;
    record["run_id"] = run_id;
    record["station"] = station;
    record["script"] = script;
    record["script_sha256"] = script_sha256;
}

}  // namespace

std::string Dump(const ordered_json &value) {
    return value.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

ordered_json UnitJson(const UnitRow &u) {
    ordered_json record;
    add_source(record, u.record_id, u.run_id, u.station, u.script, u.script_sha256);
    // The port_done event's members, in its order.
    record["port"] = u.port;
    record["result"] = u.result;
    record["writer_serial"] = u.writer_serial;
    record["chip_id"] = u.chip_id;
    // As port_done has it: a number, and only when the run wrote one.
    if (!u.unit_serial.empty()) {
        if (u.unit_serial.find_first_not_of("0123456789") == std::string::npos && u.unit_serial.size() < 20) {
            record["unit_serial"] = std::stoull(u.unit_serial);
        } else {
            record["unit_serial"] = u.unit_serial;
        }
    }
    record["started"] = u.started;
    record["ended"] = u.ended;
    record["duration_ms"] = u.duration_ms;
    record["bytes_written"] = u.bytes_written;
    record["bytes_read"] = u.bytes_read;
    record["verified"] = u.verified;
    record["image_sha256"] = u.image_sha256;
    // What the station knows beside it.
    record["message"] = u.message;
    record["failed_step"] = u.failed_step;
    record["failed_command"] = u.failed_command;
    record["writer_type"] = u.writer_type;
    record["hw_version"] = u.hw_version;
    record["bootloader_version"] = u.bootloader_version;
    record["fw_version"] = u.fw_version;
    return record;
}

ordered_json RunStartJson(const RunRow &r) {
    ordered_json record;
    add_source(record, r.start_record_id, r.run_id, r.station, r.script, r.script_sha256);
    record["phase"] = "start";
    record["started"] = r.started;
    return record;
}

ordered_json RunEndJson(const RunRow &r) {
    ordered_json record;
    add_source(record, r.end_record_id, r.run_id, r.station, r.script, r.script_sha256);
    record["phase"] = "end";
    record["started"] = r.started;
    record["ended"] = r.ended;
    record["exit_status"] = r.exit_status.value_or(-1);
    record["stopped"] = r.stopped;
    return record;
}

std::string ParseUnit(const std::string &text, UnitRow &out) {
    nlohmann::json object;
    if (std::string error = parse_object(text, object); !error.empty()) return error;
    Reader read(object);
    UnitRow u;
    u.record_id = read.text("record_id");
    u.run_id = read.text("run_id");
    u.station = read.text("station");
    u.script = read.text("script");
    u.script_sha256 = read.text("script_sha256");
    u.port = read.text("port");
    u.result = read.number<std::int32_t>("result");
    u.writer_serial = read.text("writer_serial");
    u.chip_id = read.text("chip_id", false);
    if (const auto serial = object.find("unit_serial"); serial != object.end() && serial->is_number_unsigned()) {
        u.unit_serial = std::to_string(serial->get<std::uint64_t>());
    } else {
        u.unit_serial = read.text("unit_serial", false);
    }
    u.started = read.text("started");
    u.ended = read.text("ended");
    u.duration_ms = read.number<std::int64_t>("duration_ms");
    u.bytes_written = read.number<std::uint64_t>("bytes_written");
    u.bytes_read = read.number<std::uint64_t>("bytes_read");
    u.verified = read.flag("verified");
    u.image_sha256 = read.texts("image_sha256");
    u.message = read.text("message", false);
    u.failed_step = read.number<std::int64_t>("failed_step", false);
    u.failed_command = read.text("failed_command", false);
    u.writer_type = read.text("writer_type", false);
    u.hw_version = read.text("hw_version", false);
    u.bootloader_version = read.text("bootloader_version", false);
    u.fw_version = read.text("fw_version", false);
    if (!read.error().empty()) return read.error();
    if (!is_uuid(u.record_id)) return "record_id is not a UUID";
    if (!is_uuid(u.run_id)) return "run_id is not a UUID";
    out = std::move(u);
    return {};
}

std::string ParseRun(const std::string &text, RunRow &out) {
    nlohmann::json object;
    if (std::string error = parse_object(text, object); !error.empty()) return error;
    Reader read(object);
    RunRow r;
    const std::string record_id = read.text("record_id");
    r.run_id = read.text("run_id");
    r.station = read.text("station");
    r.script = read.text("script");
    r.script_sha256 = read.text("script_sha256");
    const std::string phase = read.text("phase");
    r.started = read.text("started");
    if (phase == "end") {
        r.end_record_id = record_id;
        r.ended = read.text("ended");
        r.exit_status = read.number<int>("exit_status");
        r.stopped = read.flag("stopped");
    } else {
        r.start_record_id = record_id;
    }
    if (!read.error().empty()) return read.error();
    if (phase != "start" && phase != "end") return "phase is neither \"start\" nor \"end\"";
    if (!is_uuid(record_id)) return "record_id is not a UUID";
    if (!is_uuid(r.run_id)) return "run_id is not a UUID";
    out = std::move(r);
    return {};
}

}  // namespace kelvra::records
