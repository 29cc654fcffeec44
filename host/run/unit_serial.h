// Serial numbers written into each unit: how a number becomes bytes, and the station's file
// that hands the numbers out. A number goes to one unit at a time and is spent only when its
// unit passed; a failed, stopped or lost unit gives it back for the next run.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvra::run {

// How a number is laid out in the unit's memory.
struct SerialFormat {
    enum Kind { U32Le, U32Be, Ascii } kind = U32Le;
    unsigned width = 4;  // bytes in memory (the digits of an ascii number, zero-padded)
};

// "u32le", "u32be" or "ascii:WIDTH" (1..64 digits); nullopt with `error` set otherwise.
std::optional<SerialFormat> ParseSerialFormat(const std::string &text, std::string &error);
// The bytes of `number`; false with `error` set when it does not fit the format.
bool EncodeSerial(const SerialFormat &format, std::uint64_t number, std::vector<std::uint8_t> &bytes,
                  std::string &error);

// A unit's number and where its bytes go, as the run writes them.
struct UnitSerial {
    std::uint64_t number = 0;
    std::uint32_t address = 0;
    std::vector<std::uint8_t> bytes;
};

class SerialFileError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The station's serial file, a JSON document:
//   {"kelvra_serial_file": 1, "start": S, "next": N, "free": [...], "taken": [{"serial": n, "pid": p}]}
// "free" holds numbers given back by units that did not pass, "taken" the numbers of units
// still running. Every change happens under a lock on FILE.lock and replaces the file whole.
class SerialNumberFile {
public:
    // How long another process may hold the lock before an operation gives up.
    static constexpr unsigned kLockWaitMs = 5000;

    // Opens (and with `start`, makes) the file. Throws SerialFileError when it is not ours, of a
    // newer kind, missing without `start`, or locked too long. `warning` is set when an
    // existing file was seeded with another start.
    SerialNumberFile(std::string path, std::optional<std::uint64_t> start, std::string &warning,
                     unsigned lock_wait_ms = kLockWaitMs);
    ~SerialNumberFile();
    SerialNumberFile(const SerialNumberFile &) = delete;
    SerialNumberFile &operator=(const SerialNumberFile &) = delete;

    // Takes `count` numbers for this process: the lowest given-back ones first, then new ones.
    // Numbers left taken by a process that is no longer running are given back first.
    std::vector<std::uint64_t> Take(std::size_t count);
    // The unit passed: the number is spent for good.
    void Spend(std::uint64_t number);
    // The unit did not pass: the next run uses the number again.
    void GiveBack(std::uint64_t number);
    // Every number this process still holds is given back (at the end of a run).
    void GiveBackAll();

    const std::string &path() const { return path_; }

    struct Document;

private:
    template <typename Change>
    void Update(Change change);

    std::string path_;
    unsigned lock_wait_ms_;
    std::vector<std::uint64_t> held_;  // taken by this process and not yet spent or given back
};

}  // namespace kelvra::run
