// What names a record and when: random UUIDs and UTC time stamps as the records carry them.
#pragma once

#include <chrono>
#include <string>

namespace kelvra::records {

// A random (version 4) UUID in its 36-character lower-case form.
std::string NewUuid();

// UTC as ISO 8601 with milliseconds, e.g. 2026-12-10T08:15:02.125Z.
std::string UtcStamp(std::chrono::system_clock::time_point when);
std::string UtcNow();

// The host's name, "" when it has none.
std::string HostName();

}  // namespace kelvra::records
