// One kvat verb per file: each file registers itself here with a static registrar, so adding a
// verb means adding a file and nothing else.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>

namespace kvat::cli {

// Exit codes that scripts can rely on.
enum ExitCode : int {
    kExitOk = 0,       // the verb did what was asked and everything it checked passed
    kExitFailed = 1,   // the verb ran, but what it checked or ran failed
    kExitUsage = 2,    // wrong arguments
    kExitInput = 3,    // an input file or device could not be used at all
    kExitInternal = 4  // an unexpected error inside the tool
};

// Adds the verb's subcommand to `app`. The subcommand's callback stores the verb's result
// with set_exit_code().
using VerbSetup = std::function<void(CLI::App &app)>;

bool register_verb(std::string name, VerbSetup setup);
void set_exit_code(int code);

}  // namespace kvat::cli
