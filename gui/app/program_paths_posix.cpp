// Where an installed program keeps its files on Linux and other POSIX systems: the XDG folders.
#include "gui/app/program_paths.h"

#include <unistd.h>

#include <cstdlib>

namespace kelvra::gui::app {
namespace {

bool IsSystemDir(const std::string &dir) {
    for (const char *prefix : {"/usr/", "/bin/", "/sbin/"}) {
        if (WithSlash(dir).rfind(prefix, 0) == 0) return true;
    }
    return false;
}

// The XDG base folder: the variable when it holds an absolute path, else the fallback.
std::string Base(const std::string &variable, const std::string &home, const char *fallback) {
    if (!variable.empty() && variable.front() == '/') return WithSlash(variable);
    return WithSlash(home) + fallback;
}

}  // namespace

ProgramPaths ChoosePaths(const std::string &exe_dir, bool exe_dir_writable, const Environment &env) {
    if (exe_dir_writable && !IsSystemDir(exe_dir)) {
        ProgramPaths paths = PathsIn(exe_dir);
        paths.portable = true;
        return paths;
    }
    ProgramPaths paths;
    paths.program_dir = Base(env.xdg_data_home, env.home, ".local/share/") + kProgramName + "/";
    paths.config_path = Base(env.xdg_config_home, env.home, ".config/") + kProgramName + "/config.json";
    return paths;
}

Environment CurrentEnvironment() {
    auto get = [](const char *name) {
        const char *value = std::getenv(name);
        return value == nullptr ? std::string() : std::string(value);
    };
    return {get("HOME"), get("XDG_CONFIG_HOME"), get("XDG_DATA_HOME")};
}

bool IsWritableDir(const std::string &dir) { return ::access(dir.c_str(), W_OK | X_OK) == 0; }

}  // namespace kelvra::gui::app
