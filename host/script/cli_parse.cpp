#include "host/script/cli_parse.h"

#include "host/model/command_table.h"
#include "host/script/value_rules.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvra::script {
namespace {

constexpr std::size_t npos = std::string::npos;

// ---- Tables ----------------------------------------------------------------------------------

// A command word that is also an option word would make every use of that option a repeat.
constexpr bool command_words_differ_from_options() {
    for (const CommandInfo &command : kCommands)
        for (const std::string_view option : cli_parse::kOptionWords)
            if (command.word == option) return false;
    return true;
}
static_assert(command_words_differ_from_options(), "a command word is also an option word");

cli_parse::CommandTable make_command_table() {
    cli_parse::CommandTable table;
    for (const CommandInfo &command : kCommands) table.emplace(command.id, command.word);
    return table;
}

// An option's value rule; returns false, storing nothing, when a text value does not fit its
// field.
using Store = std::function<bool(std::string_view value, S_CmdParam &record)>;

template <typename Field>
Store number_into(Field S_CmdParam::*field) {
    return [field](std::string_view value, S_CmdParam &record) {
        record.*field = static_cast<Field>(ParseNumber(value));
        return true;
    };
}

Store text_into(char (S_CmdParam::*field)[kCmdTextSize]) {
    return [field](std::string_view value, S_CmdParam &record) {
        if (value.size() > kCmdTextSize - 1) return false;
        SetCmdText(record.*field, value);
        return true;
    };
}

Store word_into(std::int32_t S_CmdParam::*field) {
    return [field](std::string_view value, S_CmdParam &record) {
        record.*field = ParseWord(value);
        return true;
    };
}

// Any recognised-or-not "-kf" value other than 0, and any "-wtrsp", ask for the extended broadcast.
Store kf_into() {
    return [](std::string_view value, S_CmdParam &record) {
        record.kf = ParseWord(value);
        if (record.kf != 0) record.bcst_with_rsp = 1;
        return true;
    };
}

Store wait_response_into() {
    return [](std::string_view value, S_CmdParam &record) {
        record.wait_response = ParseWord(value);
        record.bcst_with_rsp = 1;
        return true;
    };
}

// Indexed like cli_parse::kOptionWords.
std::array<Store, cli_parse::kOptionCount> option_stores() {
    return {
        text_into(&S_CmdParam::file),
        text_into(&S_CmdParam::password),
        number_into(&S_CmdParam::baudrate),
        number_into(&S_CmdParam::reset_type),
        number_into(&S_CmdParam::address),
        number_into(&S_CmdParam::size),
        number_into(&S_CmdParam::timeout),
        text_into(&S_CmdParam::data),
        word_into(&S_CmdParam::direction),
        kf_into(),
        wait_response_into(),
        number_into(&S_CmdParam::fw_num),
        number_into(&S_CmdParam::mode),
    };
}

// ---- Writers ---------------------------------------------------------------------------------

std::string hex(std::uint32_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string digits;
    do {
        digits.insert(digits.begin(), kDigits[value % 16]);
        value /= 16;
    } while (value != 0);
    return "0x" + digits;
}

std::string quoted(const char (&field)[kCmdTextSize]) {
    return "\"" + std::string(CmdText(field)) + "\"";
}

std::string quoted_flag(std::int32_t value) { return value != 0 ? "\"true\"" : "\"false\""; }

// The broadcast's words. "-kf" and "-wtrsp" ask for the extended broadcast when read back, so a
// plain broadcast (none of the three set) is written without them and comes back plain.
void write_broadcast_words(const S_CmdParam &r, std::string &line) {
    line += std::string(" -dir ") + (r.direction != 0 ? "\"uarttousb\"" : "\"usbtouart\"");
    if (r.bcst_with_rsp == 0 && r.kf == 0 && r.wait_response == 0) return;
    line += " -kf " + quoted_flag(r.kf);
    line += " -wtrsp " + quoted_flag(r.wait_response);
}

void write_param(const CommandInfo &command, Param param, const S_CmdParam &r, std::string &line) {
    switch (param) {
        case Param::Address: line += " -addr " + hex(r.address); return;
        case Param::Size: line += " -s " + hex(r.size); return;
        case Param::Timeout: line += " -t " + std::to_string(r.timeout); return;
        case Param::File:
            // A payload file wins over payload text.
            if (command.takes(Param::Data) && CmdText(r.file).empty()) return;
            line += " -f " + quoted(r.file);
            return;
        case Param::Data:
            if (CmdText(r.file).empty()) line += " -data " + quoted(r.data);
            return;
        case Param::Password:
            if (!CmdText(r.password).empty()) line += " -pwd " + quoted(r.password);
            return;
        case Param::BaudRate: line += " -b " + std::to_string(r.baudrate); return;
        case Param::ResetType: line += " -type " + std::to_string(r.reset_type); return;
        case Param::Mode: line += " -mode " + std::to_string(r.mode); return;
        case Param::FwNum:
            // "-fw-num all " keeps its trailing blank; loading strips it again.
            line += r.fw_num == kAllFirmware ? " -fw-num all " : " -fw-num " + std::to_string(r.fw_num);
            return;
        case Param::Broadcast: write_broadcast_words(r, line); return;
    }
}

std::map<std::int32_t, cli_parse::OptionWriter> make_writer_table() {
    std::map<std::int32_t, cli_parse::OptionWriter> table;
    for (const CommandInfo &command : kCommands) {
        table.emplace(command.id, [&command](const S_CmdParam &r, std::string &line) {
            for (const Param param : command.params) write_param(command, param, r, line);
        });
    }
    return table;
}

// The option words of a parameter.
std::vector<std::string_view> option_words(Param param) {
    switch (param) {
        case Param::Address: return {"-addr"};
        case Param::Size: return {"-s"};
        case Param::Timeout: return {"-t"};
        case Param::File: return {"-f"};
        case Param::Password: return {"-pwd"};
        case Param::BaudRate: return {"-b"};
        case Param::ResetType: return {"-type"};
        case Param::Mode: return {"-mode"};
        case Param::FwNum: return {"-fw-num"};
        case Param::Broadcast: return {"-dir", "-kf", "-wtrsp"};
        case Param::Data: return {"-data"};
    }
    return {};
}

// ---- Text operations -------------------------------------------------------------------------

bool contains(std::string_view text, std::string_view part) { return text.find(part) != npos; }

void trim_spaces(std::string &text) {
    const auto first = text.find_first_not_of(' ');
    if (first == npos) {
        text.clear();
        return;
    }
    text.erase(text.find_last_not_of(' ') + 1);
    text.erase(0, first);
}

void squeeze(std::string &text) {
    std::erase_if(text, [](char c) { return c == ' ' || c == '\t'; });
}

void strip_quotes(std::string &text) {
    text.erase(0, std::min(text.find_first_not_of('"'), text.size()));
    const auto last = text.find_last_not_of('"');
    text.erase(last == npos ? 0 : last + 1);
}

// Whether `w` names an option of a parameter that `command` takes and `other` does not.
bool names_own_option(std::string_view w, const CommandInfo &command, const CommandInfo &other) {
    for (const Param param : command.params) {
        if (other.takes(param)) continue;
        for (const std::string_view word : option_words(param))
            if (contains(w, word)) return true;
    }
    return false;
}

std::string enclosed(std::string_view text) { return "'" + std::string(text) + "'"; }

// The command word: the first word of the line; a line with blanks but no '-' is squeezed.
std::string command_word(std::string &w) {
    const auto space = w.find(' ');
    if (space == npos) return w;
    if (contains(w, "-")) return w.substr(0, space);
    squeeze(w);
    return w;
}

// ---- Splitting an option word from its value ---------------------------------------------------

struct Split {
    std::string key;
    std::string value;
};

// The first quote after `open` that a blank or the end of the line follows, or npos.
std::size_t closing_quote(const std::string &w, std::size_t open) {
    for (auto q = w.find('"', open + 1); q != npos; q = w.find('"', q + 1))
        if (q + 1 == w.size() || w[q + 1] == ' ') return q;
    return npos;
}

// `w` is non-empty with no blanks at either end. A plain value is one word with its closing
// blank. A quoted value runs from the blank before its opening quote to its closing quote, so
// a path may hold '-'; a quote that nothing closes keeps the older rule: up to the next '-'.
Split split_option(const std::string &w) {
    const auto space = w.find(' ');
    const auto quote = w.find('"');
    if (space == npos && quote == npos) return {w, {}};

    const bool space_first = space != npos && (quote == npos || space < quote);
    bool is_quoted = !space_first;
    const std::size_t e = is_quoted ? quote : space;
    Split out{w.substr(0, e), {}};
    std::size_t r = npos;
    if (!is_quoted) {
        r = w.find_first_not_of(' ', e);
        if (r != npos && w[r] == '"') is_quoted = true;
    }
    if (is_quoted) {
        const std::size_t open = r != npos ? r : e;
        if (const auto close = closing_quote(w, open); close != npos) {
            out.value = w.substr(e, close - e + 1);
        } else {
            const auto dash = w.find('-', e + 1);
            out.value = dash == npos ? w.substr(e) : w.substr(e, dash - e);
        }
    } else {
        const auto closing = r == npos ? npos : w.find(' ', r + 1);
        out.value = closing == npos ? w.substr(e) : w.substr(e, closing - e + 1);
    }

    if (!contains(out.key, "-")) {
        out.key.clear();
    } else if (!is_quoted && out.key == "-f" && contains(out.value, "-") &&
               !IsDecimalInt32(out.value)) {
        out.value.clear();  // "-f" followed directly by the next option has no value
    }
    return out;
}

// The value between its first and last quote (or all of it when it has none).
std::string unquote(std::string value) {
    if (const auto first = value.find('"'); first != npos) value.erase(0, first + 1);
    if (const auto last = value.rfind('"'); last != npos) value.erase(last);
    return value;
}

}  // namespace

// ---- cli_parse -------------------------------------------------------------------------------

std::string cli_error_message(int code) {
    switch (code) {
        case CliOk: return "";
        case CliCommandRepeat: return "AT command repeat";
        case CliCommandNotFound: return "command not found";
        case CliParameterRepeat: return "parameter repeat";
        case CliParameterAmbiguity: return "parameter ambiguity";
        case CliTooManyParameters: return "too many parameters";
        case CliInvalidArgument:
            return "Invalid argument or missing space and quotation mark for argument";
        case CliFileFormatError: return "file format error";
        case CliFileNotFound: return "file not found";
        case CliValueTooLong: return "parameter too long";
        default: return "";
    }
}

cli_parse::cli_parse()
    : command_table(make_command_table()),
      option_table(make_option_table()),
      writer_table(make_writer_table()) {}

std::map<std::string, cli_parse::OptionParser> cli_parse::make_option_table() {
    std::map<std::string, OptionParser> table;
    const auto stores = option_stores();
    for (std::size_t index = 0; index < kOptionCount; ++index) {
        const std::string word(kOptionWords[index]);
        table.emplace(word, [this, index, word, store = stores[index]](std::string &value,
                                                                       S_CmdParam &record) {
            ++option_counts[index];
            if (!store(value, record) && too_long_.empty())
                too_long_ = "argument of " + word + " is " + std::to_string(value.size()) +
                            " bytes long; at most " + std::to_string(kCmdTextSize - 1) +
                            " are allowed";
        });
    }
    return table;
}

std::string cli_parse::command_name(std::int32_t id) const {
    const auto it = std::find_if(command_table.begin(), command_table.end(),
                                 [id](const auto &entry) { return entry.first == id; });
    return it == command_table.end() ? std::string() : it->second;
}

std::string cli_parse::command_line(const S_CmdParam &record) const {
    const auto writer = writer_table.find(record.command);
    if (writer == writer_table.end()) return {};
    std::string line = command_name(record.command);
    writer->second(record, line);
    return line;
}

int cli_parse::parse_line(const std::string &line, S_CmdParam &record, std::string &message) {
    std::string w = line;
    record = ZeroCmdParam();

    const std::string word = command_word(w);
    const auto command = std::find_if(command_table.begin(), command_table.end(),
                                      [&word](const auto &entry) { return entry.second == word; });
    if (command == command_table.end()) return CliCommandNotFound;
    record.command = command->first;
    // Counters belong to the recognised line, also when it is rejected below.
    option_counts.fill(0);
    w.erase(w.find(word), word.size());

    for (const auto &entry : command_table)
        if (contains(w, entry.second)) return CliCommandRepeat;
    const CommandInfo *info = FindCommand(record.command);
    if (const CommandInfo *smaller = SmallerSharingWord(*info);
        smaller != nullptr && !names_own_option(w, *info, *smaller)) {
        record.command = smaller->id;
        info = smaller;
    }
    if (info->takes(Param::File) && info->takes(Param::Data) && contains(w, "-data") &&
        contains(w, "-f"))
        return CliParameterAmbiguity;

    too_long_.clear();
    read_options(w, record, message);
    if (!too_long_.empty()) {
        message = too_long_;
        return CliValueTooLong;
    }
    const bool repeated = std::any_of(option_counts.begin(), option_counts.end(),
                                      [](std::int32_t count) { return count >= 2; });
    return repeated ? CliParameterRepeat : CliOk;
}

// Reads the options of `w` (the line without its command word) into `record`; sets `message`.
void cli_parse::read_options(std::string &w, S_CmdParam &record, std::string &message) {
    option_counts.fill(0);
    std::string rejected;  // fragments that could not be read, each in apostrophes
    auto dashes = std::count(w.begin(), w.end(), '-');

    while (dashes > 0) {
        trim_spaces(w);
        if (w.empty()) break;
        auto [key, value] = split_option(w);

        if (key.empty()) {
            const std::string fragment = w.substr(0, w.find('-'));
            if (fragment.empty()) break;  // cannot happen (a word starting with '-' has a key)
            rejected += enclosed(fragment);
            w.erase(0, fragment.size());
            continue;  // the '-' that ends the fragment is still to be read
        }
        --dashes;
        if (value.empty() || value == "\"\"") {
            message = "comand:" + key + ", argument is empty";
            w.erase(0, key.size());
            continue;
        }
        if (const auto quote = value.find('"');
            quote != npos && value.find('"', quote + 1) == npos) {
            rejected += enclosed(value);
            w.erase(0, quote);
            continue;
        }

        trim_spaces(key);
        trim_spaces(value);
        value = unquote(std::move(value));
        if (const auto option = option_table.find(key); option != option_table.end()) {
            option->second(value, record);
            if (const auto at = w.find(value); at != npos) {
                w.erase(0, at + value.size());
                w.erase(0, std::min(w.find_first_not_of('"'), w.size()));
            }
        } else if (const auto at = w.find(value, key.size()); at != npos) {
            const std::string fragment = value.empty() ? w : w.substr(0, at + value.size());
            rejected += enclosed(fragment);
            w.erase(0, fragment.size());
        }
    }

    trim_spaces(w);
    strip_quotes(w);
    if (!message.empty()) return;
    if (!rejected.empty() && rejected != "''")
        message = "Invalid argument or missing space and quotation mark for argument:" + rejected;
    else if (!w.empty())
        message = "There are redundant parameters:'" + w + "'. Did you forget to add '-'";
}

}  // namespace kelvra::script
