// Windows: the program keeps config.json, InfoFile/ and log/ in the executable's folder, as
// the program it follows always did (a folder it cannot write shows up as failed saves).
#include "gui/app/program_paths.h"

#include <windows.h>

#include <cstdlib>
#include <string>

namespace kelvra::gui::app {

ProgramPaths ChoosePaths(const std::string &exe_dir, bool exe_dir_writable, const Environment & /*env*/) {
    ProgramPaths paths = PathsIn(exe_dir);
    paths.portable = exe_dir_writable;
    return paths;
}

Environment CurrentEnvironment() {
    const char *profile = std::getenv("USERPROFILE");
    return {profile == nullptr ? std::string() : std::string(profile), {}, {}};
}

bool IsWritableDir(const std::string &dir) {
    // Access rights on Windows are ACLs: trying is the only sure test.
    const int n = MultiByteToWideChar(CP_UTF8, 0, dir.c_str(), -1, nullptr, 0);
    std::wstring wide(n > 0 ? static_cast<size_t>(n) : 0u, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, dir.c_str(), -1, wide.data(), n);
    if (!wide.empty()) wide.pop_back();
    const std::wstring probe = wide + L"\\.kelvra_write_test";
    const HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

}  // namespace kelvra::gui::app
