#include "host/run/unit_serial.h"

#include "host/platform/platform.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <utility>

namespace kelvra::run {

namespace fs = std::filesystem;

namespace {

constexpr const char *kMarker = "kelvra_serial_file";
constexpr int kKind = 1;

}  // namespace

std::optional<SerialFormat> ParseSerialFormat(const std::string &text, std::string &error) {
    if (text == "u32le") return SerialFormat{SerialFormat::U32Le, 4};
    if (text == "u32be") return SerialFormat{SerialFormat::U32Be, 4};
    if (text.rfind("ascii:", 0) == 0) {
        const std::string digits = text.substr(6);
        if (!digits.empty() && digits.size() <= 2 && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            const unsigned width = static_cast<unsigned>(std::stoul(digits));
            if (width >= 1 && width <= 64) return SerialFormat{SerialFormat::Ascii, width};
        }
        error = "the width of " + text + " is not a number from 1 to 64";
        return std::nullopt;
    }
    error = "unknown serial format " + text + " (u32le, u32be or ascii:WIDTH)";
    return std::nullopt;
}

bool EncodeSerial(const SerialFormat &format, std::uint64_t number, std::vector<std::uint8_t> &bytes,
                  std::string &error) {
    bytes.clear();
    if (format.kind == SerialFormat::Ascii) {
        std::string digits = std::to_string(number);
        if (digits.size() > format.width) {
            error = "serial number " + digits + " needs more than " + std::to_string(format.width) + " digits";
            return false;
        }
        digits.insert(0, format.width - digits.size(), '0');
        bytes.assign(digits.begin(), digits.end());
        return true;
    }
    if (number > std::numeric_limits<std::uint32_t>::max()) {
        error = "serial number " + std::to_string(number) + " does not fit 32 bits";
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        const int shift = format.kind == SerialFormat::U32Le ? 8 * i : 8 * (3 - i);
        bytes.push_back(static_cast<std::uint8_t>(number >> shift));
    }
    return true;
}

struct SerialNumberFile::Document {
    std::uint64_t start = 0;
    std::uint64_t next = 0;
    std::set<std::uint64_t> free;
    std::vector<std::pair<std::uint64_t, long>> taken;  // number, process id
};

namespace {

using Document = SerialNumberFile::Document;

bool is_count(const nlohmann::json &value) { return value.is_number_unsigned(); }

// nullopt when there is no file yet.
std::optional<Document> read_document(const std::string &path) {
    std::error_code error;
    if (!fs::exists(path, error)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw SerialFileError("cannot read serial file " + path);
    std::ostringstream text;
    text << in.rdbuf();
    const nlohmann::json json = nlohmann::json::parse(text.str(), nullptr, false);
    const auto not_ours = [&](const std::string &why) {
        return SerialFileError("serial file " + path + " is not a serial file of this program (" + why + ")");
    };
    if (json.is_discarded() || !json.is_object()) throw not_ours("not a JSON object");
    if (!json.contains(kMarker) || !is_count(json[kMarker])) throw not_ours("no \"" + std::string(kMarker) + "\" member");
    if (json[kMarker].get<std::uint64_t>() > kKind) {
        throw SerialFileError("serial file " + path + " is of a newer kind than this program knows");
    }
    Document document;
    if (!json.contains("next") || !is_count(json["next"])) throw not_ours("\"next\" is not a number");
    document.next = json["next"].get<std::uint64_t>();
    document.start = json.contains("start") && is_count(json["start"]) ? json["start"].get<std::uint64_t>() : document.next;
    if (json.contains("free")) {
        if (!json["free"].is_array()) throw not_ours("\"free\" is not a list");
        for (const auto &n : json["free"]) {
            if (!is_count(n)) throw not_ours("\"free\" holds something other than numbers");
            document.free.insert(n.get<std::uint64_t>());
        }
    }
    if (json.contains("taken")) {
        if (!json["taken"].is_array()) throw not_ours("\"taken\" is not a list");
        for (const auto &entry : json["taken"]) {
            if (!entry.is_object() || !entry.contains("serial") || !is_count(entry["serial"]) ||
                !entry.contains("pid") || !entry["pid"].is_number_integer()) {
                throw not_ours("a \"taken\" entry is not {serial, pid}");
            }
            document.taken.emplace_back(entry["serial"].get<std::uint64_t>(), entry["pid"].get<long>());
        }
    }
    return document;
}

void write_document(const std::string &path, const Document &document) {
    nlohmann::ordered_json json;
    json[kMarker] = kKind;
    json["start"] = document.start;
    json["next"] = document.next;
    json["free"] = nlohmann::ordered_json::array();
    for (const std::uint64_t n : document.free) json["free"].push_back(n);
    json["taken"] = nlohmann::ordered_json::array();
    for (const auto &[n, pid] : document.taken) json["taken"].push_back({{"serial", n}, {"pid", pid}});
    // Written beside and renamed over: a crash leaves the old file or the new one, never half.
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << json.dump(2) << '\n';
        out.flush();
        if (!out) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            throw SerialFileError("cannot save serial file " + path + ": the write failed (disk full?)");
        }
    }
    std::error_code error;
    fs::rename(temporary, path, error);
    if (error) {
        fs::remove(temporary, error);
        throw SerialFileError("cannot save serial file " + path + ": " + error.message());
    }
}

}  // namespace

template <typename Change>
void SerialNumberFile::Update(Change change) {
    std::string error;
    const auto lock = platform::LockFile(path_ + ".lock", lock_wait_ms_, error);
    if (lock == nullptr) throw SerialFileError("cannot lock serial file " + path_ + ": " + error);
    std::optional<Document> document = read_document(path_);
    if (!document) throw SerialFileError("serial file " + path_ + " has gone");
    if (change(*document)) write_document(path_, *document);
}

SerialNumberFile::SerialNumberFile(std::string path, std::optional<std::uint64_t> start, std::string &warning,
                                   unsigned lock_wait_ms)
    : path_(std::move(path)), lock_wait_ms_(lock_wait_ms) {
    std::error_code made;
    const fs::path folder = fs::path(path_).parent_path();
    if (!folder.empty()) fs::create_directories(folder, made);
    std::string error;
    const auto lock = platform::LockFile(path_ + ".lock", lock_wait_ms_, error);
    if (lock == nullptr) throw SerialFileError("cannot lock serial file " + path_ + ": " + error);
    const std::optional<Document> existing = read_document(path_);
    if (existing) {
        if (start && *start != existing->start) {
            warning = "serial file " + path_ + " was started at " + std::to_string(existing->start) +
                      "; its next number " + std::to_string(existing->next) + " is used, not --serial-start " +
                      std::to_string(*start);
        }
        return;
    }
    if (!start) throw SerialFileError("there is no serial file " + path_ + " yet: give --serial-start");
    Document fresh;
    fresh.start = *start;
    fresh.next = *start;
    write_document(path_, fresh);
}

SerialNumberFile::~SerialNumberFile() {
    try {
        GiveBackAll();
    } catch (const SerialFileError &) {
        // Numbers still marked taken are given back by the next run, once this process is gone.
    }
}

std::vector<std::uint64_t> SerialNumberFile::Take(std::size_t count) {
    std::vector<std::uint64_t> numbers;
    const long self = platform::ProcessId();
    Update([&](Document &document) {
        // A process that ended without giving its numbers back no longer holds them.
        for (auto it = document.taken.begin(); it != document.taken.end();) {
            if (it->second != self && !platform::ProcessAlive(it->second)) {
                document.free.insert(it->first);
                it = document.taken.erase(it);
            } else {
                ++it;
            }
        }
        while (numbers.size() < count && !document.free.empty()) {
            numbers.push_back(*document.free.begin());
            document.free.erase(document.free.begin());
        }
        while (numbers.size() < count) {
            if (document.next == std::numeric_limits<std::uint64_t>::max()) {
                throw SerialFileError("serial file " + path_ + " has no numbers left");
            }
            numbers.push_back(document.next++);
        }
        for (const std::uint64_t n : numbers) document.taken.emplace_back(n, self);
        return true;
    });
    held_.insert(held_.end(), numbers.begin(), numbers.end());
    return numbers;
}

void SerialNumberFile::Spend(std::uint64_t number) {
    const long self = platform::ProcessId();
    Update([&](Document &document) {
        const auto before = document.taken.size();
        std::erase_if(document.taken, [&](const auto &entry) { return entry.first == number && entry.second == self; });
        return document.taken.size() != before;
    });
    std::erase(held_, number);
}

void SerialNumberFile::GiveBack(std::uint64_t number) {
    const long self = platform::ProcessId();
    Update([&](Document &document) {
        const auto before = document.taken.size();
        std::erase_if(document.taken, [&](const auto &entry) { return entry.first == number && entry.second == self; });
        if (document.taken.size() == before) return false;
        document.free.insert(number);
        return true;
    });
    std::erase(held_, number);
}

void SerialNumberFile::GiveBackAll() {
    if (held_.empty()) return;
    const long self = platform::ProcessId();
    const std::vector<std::uint64_t> held = held_;
    Update([&](Document &document) {
        for (const std::uint64_t number : held) {
            const auto before = document.taken.size();
            std::erase_if(document.taken,
                          [&](const auto &entry) { return entry.first == number && entry.second == self; });
            if (document.taken.size() != before) document.free.insert(number);
        }
        return true;
    });
    held_.clear();
}

}  // namespace kelvra::run
