#include "host/model/row_check.h"

#include "host/files/code_file.h"
#include "host/files/image_start.h"
#include "host/files/json_file.h"
#include "host/files/writer_documents.h"
#include "host/model/command_table.h"

#include <filesystem>
#include <exception>
#include <fstream>
#include <memory>
#include <string_view>
#include <system_error>

namespace kelvra {
namespace {

constexpr std::string_view kBaudRateMessage = "第%d条命令baudrate <= 0，无法执行AT命令";
constexpr std::string_view kResetTypeMessage = "第%d条命令 复位类型错误，无法执行AT命令";
constexpr std::string_view kTimeoutMessage = "第%d条命令timeout <= 0，无法执行AT命令";
constexpr std::string_view kNotPkgMessage = "第%d条命令文件不是pkg，无法执行AT命令";
constexpr std::string_view kNoFileMessage = "第%d条命令文件不存在，无法执行AT命令";
constexpr std::string_view kEmptyFileMessage = "第%d条命令文件为空，无法执行AT命令";
constexpr std::string_view kSizeMessage = "第%d条命令size <= 0，无法执行AT命令";
constexpr std::string_view kJsonMessage = "第%d条命令json文件数据出错，无法执行AT命令\n错误信息：%s";
constexpr std::string_view kFlagWordMessage =
    "Row %d invalid string parameter. Valid string are as follows: true, false";
constexpr std::string_view kDirectionWordMessage =
    "Row %d invalid string parameter. Valid string are as follows: uarttousb, usbtouart";

// Fills the first "%d" with the row and the first "%s" with `text`.
std::string format_row(std::string_view format, int row, std::string_view text = {}) {
    std::string out(format);
    if (const auto at = out.find("%d"); at != std::string::npos)
        out.replace(at, 2, std::to_string(row));
    if (const auto at = out.find("%s"); at != std::string::npos) out.replace(at, 2, text);
    return out;
}

std::optional<RowCheckFailure> refuse(std::string_view format, int row, std::string_view text = {}) {
    return RowCheckFailure{row, RowCheckKind::Refusal, format_row(format, row, text)};
}

enum class FileState { Missing, Empty, Present };

// A directory "opens" on some systems but holds no data: it counts as missing.
FileState file_state(const std::string &path) {
    std::error_code error;
    if (path.empty() || std::filesystem::is_directory(path, error)) return FileState::Missing;
    std::ifstream in(path, std::ios::binary);
    if (!in) return FileState::Missing;
    const auto size = std::filesystem::file_size(path, error);
    return error || size == 0 ? FileState::Empty : FileState::Present;
}

std::optional<RowCheckFailure> check_values(const CommandInfo &command, const S_CmdParam &record,
                                            int row) {
    if (command.takes(Param::BaudRate) && record.baudrate <= 0) return refuse(kBaudRateMessage, row);
    if (command.takes(Param::ResetType) && record.reset_type == kInvalidResetType)
        return refuse(kResetTypeMessage, row);
    if (command.needs_timeout() && record.timeout <= 0) return refuse(kTimeoutMessage, row);
    if (command.file == FileUse::WriterProject && !CmdText(record.file).ends_with(".pkg"))
        return refuse(kNotPkgMessage, row);
    return std::nullopt;
}

std::optional<RowCheckFailure> check_input_file(const CommandInfo &command,
                                                const S_CmdParam &record, int row) {
    if (!ReadsInputFile(command, record)) return std::nullopt;
    switch (file_state(std::string(CmdText(record.file)))) {
        case FileState::Missing:
            return refuse(kNoFileMessage, row);
        case FileState::Empty:
            return refuse(kEmptyFileMessage, row);
        case FileState::Present:
            break;
    }
    return std::nullopt;
}

std::optional<RowCheckFailure> check_broadcast_words(const S_CmdParam &record, int row) {
    if (record.kf == kInvalidWord || record.wait_response == kInvalidWord)
        return RowCheckFailure{row, RowCheckKind::LogError, format_row(kFlagWordMessage, row)};
    if (record.direction == kInvalidWord)
        return RowCheckFailure{row, RowCheckKind::LogError, format_row(kDirectionWordMessage, row)};
    if (record.wait_response != 0 && record.timeout <= 0) return refuse(kTimeoutMessage, row);
    return std::nullopt;
}

// Only conversion errors count: a file that cannot be opened as a ".json" document is left
// to the run, while one that opens but does not parse reports the parser's text.
std::optional<RowCheckFailure> check_writer_config(const S_CmdParam &record, int row) {
    files::json_file file(std::string(CmdText(record.file)), files::json_file::mode::read);
    if (!file.is_open()) return std::nullopt;
    kvat_writer_config scratch{};
    const std::string error = files::read_writer_config(file, scratch);
    if (error.empty()) return std::nullopt;
    return refuse(kJsonMessage, row, error);
}

std::optional<RowCheckFailure> check_second_pass(const CommandInfo &command,
                                                 const S_CmdParam &record, int row) {
    if (command.takes(Param::Size) && record.size == 0) return refuse(kSizeMessage, row);
    if (command.file == FileUse::WriterConfig) return check_writer_config(record, row);
    if (command.takes(Param::Broadcast)) return check_broadcast_words(record, row);
    return std::nullopt;
}

}  // namespace

std::optional<RowCheckFailure> CheckRow(const S_CmdParam &record, int row) {
    const CommandInfo *command = FindCommand(record.command);
    if (command == nullptr) return std::nullopt;
    if (auto failure = check_values(*command, record, row)) return failure;
    if (auto failure = check_input_file(*command, record, row)) return failure;
    return check_second_pass(*command, record, row);
}

std::string ImageStartWarning(const S_CmdParam &record) {
    const CommandInfo *command = FindCommand(record.command);
    if (command == nullptr || command->file != FileUse::Image) return {};
    std::unique_ptr<files::bs_code_file> image;
    try {
        image = files::open_image(std::string(CmdText(record.file)), record.fw_num);
    } catch (const std::exception &) {
        return {};
    }
    if (!image) return {};
    const auto gap = files::image_starts_below_first_data(*image);
    return gap ? files::image_start_warning(*gap, record.address) : std::string();
}

std::optional<RowCheckFailure> CheckRows(const std::vector<S_CmdParam> &commands) {
    for (std::size_t i = 0; i < commands.size(); ++i) {
        if (auto failure = CheckRow(commands[i], static_cast<int>(i + 1))) return failure;
    }
    return std::nullopt;
}

}  // namespace kelvra
