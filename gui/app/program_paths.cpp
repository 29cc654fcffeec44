#include "gui/app/program_paths.h"

namespace kelvra::gui::app {

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

ProgramPaths PathsIn(const std::string &dir) {
    ProgramPaths paths;
    paths.program_dir = WithSlash(dir);
    paths.config_path = paths.program_dir + "config.json";
    return paths;
}

}  // namespace kelvra::gui::app
