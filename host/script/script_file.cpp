#include "host/script/cli_parse.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace kelvra::script {
namespace {

constexpr const char *kLineBlanks = " \t\n\r\f\v";

void strip_line(std::string &line) {
    const auto first = line.find_first_not_of(kLineBlanks);
    if (first == std::string::npos) {
        line.clear();
        return;
    }
    line.erase(line.find_last_not_of(kLineBlanks) + 1);
    line.erase(0, first);
}

// A directory can be "opened" as a stream on some systems but is never a script.
bool is_directory(const std::string &path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

}  // namespace

std::string script_stop_text(int row, int code) {
    return "第" + std::to_string(row) + "行命令出错，停止命令脚本文件解析，错误信息：" +
           cli_error_message(code);
}

std::string script_warning_text(std::size_t position, const std::string &warning) {
    return "Row " + std::to_string(position) + ": " + warning;
}

int cli_parse::load_script(const std::string &path, std::vector<S_CmdParam> &commands, int &row,
                           std::vector<std::string> &messages) {
    std::ifstream in;
    if (!is_directory(path)) in.open(path);
    if (!in.is_open()) throw script_file_error(kScriptOpenError);
    if (path.find(kScriptExtension) == std::string::npos) throw script_file_error(kScriptFormatError);

    commands.clear();
    messages.clear();
    row = 0;
    std::string line;
    while (std::getline(in, line)) {
        ++row;
        strip_line(line);
        if (line.empty()) continue;
        S_CmdParam record;
        std::string message;
        const int result = parse_line(line, record, message);
        messages.push_back(std::move(message));
        if (result != CliOk) return result;
        commands.push_back(record);
    }
    return CliOk;
}

// Lines are written byte for byte: the texts are already in the code page the file is kept in.
bool cli_parse::save_script(const std::string &path, const std::vector<S_CmdParam> &commands) const {
    std::ofstream out(path, std::ios::out | std::ios::trunc);
    if (!out) return false;
    for (const auto &record : commands) {
        if (!writer_table.contains(record.command)) continue;
        out << command_line(record) << '\n' << std::flush;
    }
    out.close();
    return !out.fail();
}

}  // namespace kelvra::script
