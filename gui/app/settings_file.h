// config.json: the two check-box settings and the last script, read once before the main
// window exists and written once after it closed.
#pragma once

#include <string>

namespace kelvra::gui::app {

struct Settings {
    bool print_info = false;   // "print-info"
    bool cover_file = true;    // "cover-file"
    std::string script_path;   // "cur_file_path"
};

// Reads "print-info", "cover-file" and "cur_file_path" in that order and stops at the first
// failure of any kind (no file, not JSON, a key missing, a wrong type): the members read
// before it keep their new values, the others their defaults. Nothing is reported.
Settings ReadSettings(const std::string &path);

// Replaces the file with the three members, keys sorted and indented by four spaces. The new
// document is written beside the file and renamed over it, so a crash never leaves half of
// one. False when it could not be written.
bool WriteSettings(const std::string &path, const Settings &settings);

}  // namespace kelvra::gui::app
