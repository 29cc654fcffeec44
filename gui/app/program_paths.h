// Where the program keeps config.json, InfoFile/ and log/ (the choice per OS in
// program_paths_<os>.cpp). On Linux a program whose own folder is
// writable is a portable copy and keeps them there, as on the platform it was designed for;
// an installed program keeps its settings in the user's XDG configuration folder and its
// results and run logs in the user's XDG data folder.
#pragma once

#include <string>

namespace kelvra::gui::app {

inline constexpr const char *kProgramName = "Kelvra_ATCmd_GUI";

struct ProgramPaths {
    std::string program_dir;  // ends with '/'; holds InfoFile/ and log/
    std::string config_path;  // .../config.json
    bool portable = false;
};

struct Environment {
    std::string home;
    std::string xdg_config_home;  // "" when unset
    std::string xdg_data_home;
};

// Linux: portable when `exe_dir` is writable and not a system folder (below /usr, /bin or
// /sbin), else the XDG folders. Windows: always the executable's folder.
ProgramPaths ChoosePaths(const std::string &exe_dir, bool exe_dir_writable, const Environment &env);
// Everything in `dir` (the --program-dir option).
ProgramPaths PathsIn(const std::string &dir);

Environment CurrentEnvironment();
bool IsWritableDir(const std::string &dir);

// `dir` ending with '/'.
std::string WithSlash(std::string dir);

}  // namespace kelvra::gui::app
