// kvat check SCRIPT: loads a script exactly as the program does and runs the row checks that
// need no writer, so a script can be vetted before it reaches the production line.
#include "cli/verb.h"

#include "host/files/code_file.h"
#include "host/files/image_start.h"
#include "host/model/at_command.h"
#include "host/model/cmd_param.h"
#include "host/model/row_check.h"
#include "host/script/cli_parse.h"

#include <nlohmann/json.hpp>

#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace kvat::cli {
namespace {

using kelvra::S_CmdParam;
using kelvra::script::cli_parse;

struct Loaded {
    std::vector<S_CmdParam> commands;
    std::vector<std::string> messages;  // one per parsed line, the failing line's last
    std::vector<std::string> image_warnings;  // one per command, "" for none
    int row = 0;
    int result = 0;
};


nlohmann::ordered_json record_json(const cli_parse &parser, const S_CmdParam &r, int row,
                                   const std::string &warning, const std::string &image_warning) {
    using kelvra::CmdText;
    return {
        {"row", row},
        {"command", r.command},
        {"address", r.address},
        {"size", r.size},
        {"baudrate", r.baudrate},
        {"timeout", r.timeout},
        {"direction", r.direction},
        {"bcst_with_rsp", r.bcst_with_rsp},
        {"kf", r.kf},
        {"wait_response", r.wait_response},
        {"fw_num", r.fw_num},
        {"password", std::string(CmdText(r.password))},
        {"file", std::string(CmdText(r.file))},
        {"data", std::string(CmdText(r.data))},
        {"reset_type", r.reset_type},
        {"mode", r.mode},
        {"command_line", parser.command_line(r)},
        {"warning", warning},
        {"image_warning", image_warning},
    };
}

void print_json(const cli_parse &parser, const Loaded &loaded) {
    auto records = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < loaded.commands.size(); ++i)
        records.push_back(record_json(parser, loaded.commands[i], static_cast<int>(i + 1),
                                      loaded.messages[i], loaded.image_warnings[i]));
    // Script texts are raw bytes of the user's code page: never let them break the output.
    std::cout << records.dump(4, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
              << '\n';
}

void print_text(const cli_parse &parser, const Loaded &loaded) {
    for (std::size_t i = 0; i < loaded.commands.size(); ++i) {
        std::cout << "row " << i + 1 << ": " << parser.command_line(loaded.commands[i]) << '\n';
        if (!loaded.messages[i].empty())
            std::cout << "  " << kelvra::script::script_warning_text(i + 1, loaded.messages[i])
                      << '\n';
        if (!loaded.image_warnings[i].empty())
            std::cout << "  warning: " << loaded.image_warnings[i] << '\n';
    }
}

// The stopping error of the load, then the failing line's own warning numbered as the program
// numbers warnings (by parsed line). True when loading stopped.
bool report_load_stop(const Loaded &loaded) {
    if (loaded.result == 0) return false;
    std::cerr << kelvra::script::script_stop_text(loaded.row, loaded.result) << '\n';
    if (loaded.messages.size() > loaded.commands.size() && !loaded.messages.back().empty())
        std::cerr << kelvra::script::script_warning_text(loaded.messages.size(),
                                                         loaded.messages.back())
                  << '\n';
    return true;
}

// Every failing row is reported, though a run would stop at the first one.
bool report_row_checks(const Loaded &loaded) {
    bool failed = false;
    for (std::size_t i = 0; i < loaded.commands.size(); ++i) {
        if (const auto failure = kelvra::CheckRow(loaded.commands[i], static_cast<int>(i + 1))) {
            std::cerr << failure->message << '\n';
            failed = true;
        }
    }
    return failed;
}

int run_check(const std::string &path, bool json) {
    cli_parse parser;
    Loaded loaded;
    try {
        loaded.result = parser.load_script(path, loaded.commands, loaded.row, loaded.messages);
    } catch (const kelvra::script::script_file_error &error) {
        if (json) std::cout << "[]\n";
        std::cerr << error.what() << '\n';
        return kExitInput;
    }
    for (const S_CmdParam &record : loaded.commands)
        loaded.image_warnings.push_back(kelvra::ImageStartWarning(record));
    if (json) print_json(parser, loaded);
    else print_text(parser, loaded);
    std::cout.flush();
    const bool stopped = report_load_stop(loaded);
    const bool refused = report_row_checks(loaded);
    return stopped || refused ? kExitFailed : kExitOk;
}

const bool registered = register_verb("check", [](CLI::App &app) {
    auto *cmd = app.add_subcommand(
        "check",
        "Load a script as the program does; print each row with its command line and warning, "
        "then run the row checks that need no writer (every failing row is reported)");
    auto path = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    cmd->add_option("SCRIPT", *path, "script file (.kvatscript)")->required();
    cmd->add_flag("--json", *json, "print the loaded records as a JSON array on standard output");
    cmd->callback([path, json] { set_exit_code(run_check(*path, *json)); });
});

}  // namespace
}  // namespace kvat::cli
