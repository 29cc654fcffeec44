// The script language: one command line <-> one command record, and script files of such lines.
//
// The parser is deliberately lenient: only a repeated or unknown command word, a repeated option,
// "-bcst" with both "-data" and "-f", and a text value too long for its field reject a line.
// Everything else still yields a record, with a warning text for the caller to show. A quoted
// value ends at the quote that a blank or the end of the line follows, so paths may hold '-';
// its quirks (an unclosed quote ends at the next '-', a command word inside a value counts as a
// repeat) are part of the language and must stay.
#pragma once

#include "host/model/cmd_param.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra::script {

enum E_CliError : int {
    CliOk = 0,
    CliCommandRepeat = 2001,
    CliCommandNotFound = 2002,
    CliParameterRepeat = 2003,
    CliParameterAmbiguity = 2004,
    CliTooManyParameters = 2005,
    CliInvalidArgument = 2006,
    CliFileFormatError = 2007,
    CliFileNotFound = 2008,
    // A text value longer than its field: cutting it would send or open something else than
    // the line names, so the line is refused and `message` names the option and the length.
    CliValueTooLong = 2009,
};

// The message of a parser result code, "" for a code that has none.
std::string cli_error_message(int code);

// Raised by load_script when the file cannot be opened or its name lacks ".kvatscript".
class script_file_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char *kScriptOpenError =
    "file opening error, please check whether the file exists";
inline constexpr const char *kScriptFormatError =
    "file format error, \".kvatscript\" file is required";
inline constexpr const char *kScriptExtension = ".kvatscript";

// The log line of a load that stopped at file line `row` with parser result `code`.
std::string script_stop_text(int row, int code);

// The log line of a warning; `position` counts the parsed (non-blank) lines from 1.
std::string script_warning_text(std::size_t position, const std::string &warning);

class cli_parse {
public:
    static constexpr std::size_t kOptionCount = 13;
    using OptionParser = std::function<void(std::string &value, S_CmdParam &record)>;
    using OptionWriter = std::function<void(const S_CmdParam &record, std::string &line)>;
    using CommandTable = std::map<std::int32_t, std::string, std::greater<>>;

    cli_parse();
    // The tables hold callables bound to this instance, so it must not be copied or moved.
    cli_parse(const cli_parse &) = delete;
    cli_parse &operator=(const cli_parse &) = delete;

    // Fills `record` (wholly overwritten) from one stripped line. Returns 0, 2001 to 2004 or
    // 2009; `message` receives the warning of a line that was read with defects, or for 2009
    // the option and the length of the value that does not fit.
    int parse_line(const std::string &line, S_CmdParam &record, std::string &message);

    // The command word of `id`, "" when there is none.
    std::string command_name(std::int32_t id) const;

    // The record written as a command line; "" when its id has no writer.
    std::string command_line(const S_CmdParam &record) const;

    // Replaces `commands` with the lines of the script at `path`. `row` ends as the number of
    // lines read (the failing line's number after a failure), `messages` holds one text per
    // parsed line. Returns 0 or the failing line's code; throws script_file_error when the file
    // cannot be opened or is not a script file, leaving every output untouched.
    int load_script(const std::string &path, std::vector<S_CmdParam> &commands, int &row,
                    std::vector<std::string> &messages);

    // Writes one line per record that has a writer. Returns false when the file could not be
    // written completely.
    bool save_script(const std::string &path, const std::vector<S_CmdParam> &commands) const;

    // Calls per option word, in the fixed order of kOptionWords; reset per parsed line.
    std::array<std::int32_t, kOptionCount> option_counts{};
    const CommandTable command_table;
    const std::map<std::string, OptionParser> option_table;
    const std::map<std::int32_t, OptionWriter> writer_table;

    static constexpr std::array<std::string_view, kOptionCount> kOptionWords{
        "-f", "-pwd", "-b", "-type", "-addr", "-s", "-t",
        "-data", "-dir", "-kf", "-wtrsp", "-fw-num", "-mode"};

private:
    std::map<std::string, OptionParser> make_option_table();
    void read_options(std::string &w, S_CmdParam &record, std::string &message);

    std::string too_long_;  // set by the first text option whose value does not fit its field
};

}  // namespace kelvra::script
