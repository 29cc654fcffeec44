#include "gui/windows/command_list_editor.h"

#include "gui/dialogs/param_dialog.h"
#include "gui/dialogs/select_command_dialog.h"
#include "gui/dialogs/writer_config_dialog.h"
#include "host/model/at_command.h"

#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QRegularExpression>

namespace kelvra::gui::windows {
namespace {

using CLV = widgets::CommandListView;

QString Text(const char (&field)[kCmdTextSize]) {
    const std::string_view text = CmdText(field);
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString Hex(std::uint32_t value) { return QString::asprintf("0x%x", value); }

}  // namespace

bool HasParameters(std::int32_t id) {
    const CommandInfo *command = FindCommand(id);
    return command != nullptr && !command->params.empty();
}

// The summary shows, in this order and each followed by ", ": the switch mode (followed by
// "->" instead), the broadcast words, address, size, time-out, baud rate, reset method and
// file. Password, firmware number and data text are left out, as is a broadcast's time-out.
std::optional<QString> ParameterSummary(const S_CmdParam &r) {
    const CommandInfo *command = FindCommand(r.command);
    if (command == nullptr || command->params.empty()) return std::nullopt;
    QString summary;
    QString separator;
    const auto add = [&](const QString &part, const QString &next = QStringLiteral(", ")) {
        summary += separator + part;
        separator = next;
    };
    if (command->takes(Param::Mode))
        add(r.mode != 0 ? QStringLiteral("全新加载") : QStringLiteral("恢复进度"), QStringLiteral("->"));
    if (command->takes(Param::Broadcast)) {
        add((r.bcst_with_rsp != 0 ? QStringLiteral("广播带RSP, ") : QString()) +
            (r.direction == 0 ? QStringLiteral("USB to UART") : QStringLiteral("UART to USB")));
    }
    if (command->takes(Param::Address)) add(Hex(r.address));
    if (command->takes(Param::Size)) add(Hex(r.size));
    if (command->needs_timeout()) add(QString::number(r.timeout));
    if (command->takes(Param::BaudRate)) add(QString::number(r.baudrate));
    if (command->takes(Param::ResetType)) {
        const std::string_view name = ResetTypeName(r.reset_type);
        add(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    }
    if (command->takes(Param::File)) add(Text(r.file));
    return summary;
}

CommandListEditor::CommandListEditor(widgets::CommandListView *view, run::MessageLog &log, QWidget *dialog_parent)
    : view_(view), log_(log), dialog_parent_(dialog_parent) {
    connect(view_, &CLV::RowClicked, this, &CommandListEditor::OnClick);
    connect(view_, &CLV::RowDoubleClicked, this, &CommandListEditor::OnDoubleClick);
    connect(view_, &CLV::MenuRequested, this, &CommandListEditor::ShowMenu);
}

void CommandListEditor::ShowMenu(const QPoint &global) {
    QMenu menu(view_);
    menu.addAction(QStringLiteral("添加AT命令"), this, &CommandListEditor::Add);
    menu.addAction(QStringLiteral("插入AT命令"), this, &CommandListEditor::Insert);
    menu.addAction(QStringLiteral("删除AT命令"), this, &CommandListEditor::Delete);
    menu.addAction(QStringLiteral("命令上移"), this, &CommandListEditor::MoveUp);
    menu.addAction(QStringLiteral("命令下移"), this, &CommandListEditor::MoveDown);
    menu.exec(global);
}

std::string CommandListEditor::ConfigOutputPath(int row) const {
    const QString folder = config_folder_ ? config_folder_() : QString();
    const auto absolute = [](const QString &path) { return QFileInfo(path).absoluteFilePath(); };
    const auto used_elsewhere = [&](const QString &path) {
        for (std::size_t i = 0; i < commands_.size(); ++i) {
            if (static_cast<int>(i) == row) continue;
            const std::string_view other = CmdText(commands_[i].file);
            const CommandInfo *command = FindCommand(commands_[i].command);
            if (other.empty() || command == nullptr || command->file != FileUse::WriterConfig) continue;
            if (absolute(QString::fromUtf8(other.data(), static_cast<qsizetype>(other.size()))) == absolute(path)) return true;
        }
        return false;
    };
    static const QRegularExpression made(QStringLiteral("^writer_cfg(_[0-9]+)?\\.json$"));
    const std::string_view own = CmdText(commands_[static_cast<std::size_t>(row)].file);
    const QString own_path = QString::fromUtf8(own.data(), static_cast<qsizetype>(own.size()));
    // A file the user chose elsewhere is read, never overwritten.
    if (!own_path.isEmpty() && made.match(QFileInfo(own_path).fileName()).hasMatch() && !used_elsewhere(own_path)) {
        return own_path.toStdString();
    }
    const QDir dir(folder.isEmpty() ? QString() : folder);
    for (int n = 1;; ++n) {
        const QString name = n == 1 ? QString::fromUtf8(dialogs::WriterConfigDialog::kOutputName)
                                    : QStringLiteral("writer_cfg_%1.json").arg(n);
        const QString path = folder.isEmpty() ? name : dir.filePath(name);
        if (!used_elsewhere(path) && !QFileInfo::exists(path)) return path.toStdString();
    }
}

int CommandListEditor::RefreshCommandList() {
    view_->setRowCount(0);
    for (std::size_t i = 0; i < commands_.size(); ++i) {
        ShowCommandRow(static_cast<int>(i), commands_[i].command, true);
        FormatParameterText(commands_[i]);
    }
    return static_cast<int>(commands_.size());
}

void CommandListEditor::ShowCommandRow(int row, std::int32_t command, bool insert) {
    if (insert) {
        view_->insertRow(row);
        view_->SetCellText(row, CLV::kNumberColumn, QString::number(row + 1));
    }
    view_->SetCellText(row, CLV::kCommandColumn, QString::fromStdString(ATCmdDisplayName(command)));
    view_->SetCellText(row, CLV::kParameterColumn, QString::fromUtf8(HasParameters(command) ? kSetParamText : kNoParamText));
    view_->SelectOnly(row);
    current_row_ = row;
}

void CommandListEditor::FormatParameterText(const S_CmdParam &record) {
    if (current_row_ < 0 || current_row_ >= view_->rowCount()) return;
    if (const auto summary = ParameterSummary(record)) view_->SetCellText(current_row_, CLV::kParameterColumn, *summary);
}

bool CommandListEditor::RequireCurrentRow() {
    if (current_row_ >= 0) return true;
    log_.AppendLine(kNoRowText, run::kColourError);
    return false;
}

void CommandListEditor::SelectRow(int row) {
    view_->SelectOnly(row);
    current_row_ = row >= 0 && row < view_->rowCount() ? row : -1;
}

std::optional<std::int32_t> CommandListEditor::ChooseCommand() {
    dialogs::SelectCommandDialog dialog(dialog_parent_);
    dialog.exec();
    return dialog.choice();
}

void CommandListEditor::Add() {
    const auto id = ChooseCommand();
    if (!id) return;
    commands_.push_back(NewCmdParam(*id));
    ShowCommandRow(static_cast<int>(commands_.size()) - 1, *id, true);
}

void CommandListEditor::Insert() {
    if (!RequireCurrentRow()) return;
    const auto id = ChooseCommand();
    if (!id) return;
    const int row = current_row_;
    commands_.insert(commands_.begin() + row, NewCmdParam(*id));
    ShowCommandRow(row, *id, true);
    Renumber(row);
}

void CommandListEditor::Replace() {
    if (!RequireCurrentRow()) return;
    const auto id = ChooseCommand();
    if (!id) return;
    const int row = current_row_;
    commands_[static_cast<std::size_t>(row)] = NewCmdParam(*id);
    ShowCommandRow(row, *id, false);
}

void CommandListEditor::Delete() {
    if (!RequireCurrentRow()) return;
    const int row = current_row_;
    commands_.erase(commands_.begin() + row);
    view_->removeRow(row);
    Renumber(row);
    view_->SelectOnly(row);
    if (current_row_ == static_cast<int>(commands_.size())) current_row_ = -1;
}

void CommandListEditor::Renumber(int from) {
    for (int i = from; i < view_->rowCount(); ++i) view_->SetCellText(i, CLV::kNumberColumn, QString::number(i + 1));
}

void CommandListEditor::Move(int to) {
    const int a = current_row_;
    const int b = to;
    const QString ta = view_->CellText(a, CLV::kParameterColumn);
    const QString tb = view_->CellText(b, CLV::kParameterColumn);
    std::swap(commands_[static_cast<std::size_t>(a)], commands_[static_cast<std::size_t>(b)]);
    const QString set_text = QString::fromUtf8(kSetParamText);
    // A row still waiting for its parameters keeps its placeholder where it goes.
    ShowCommandRow(a, commands_[static_cast<std::size_t>(a)].command, false);
    if (tb != set_text) FormatParameterText(commands_[static_cast<std::size_t>(a)]);
    ShowCommandRow(b, commands_[static_cast<std::size_t>(b)].command, false);
    if (ta != set_text) FormatParameterText(commands_[static_cast<std::size_t>(b)]);
}

void CommandListEditor::MoveUp() {
    if (!RequireCurrentRow()) return;
    if (current_row_ == 0) {
        log_.LogLevelLine(run::LogError, kTopText);
        return;
    }
    Move(current_row_ - 1);
}

void CommandListEditor::MoveDown() {
    if (!RequireCurrentRow()) return;
    if (current_row_ + 1 >= static_cast<int>(commands_.size())) {
        log_.LogLevelLine(run::LogError, kBottomText);
        return;
    }
    Move(current_row_ + 1);
}

void CommandListEditor::Clear() {
    QMessageBox box(QMessageBox::Information, QStringLiteral("提示"), QString::fromUtf8(kClearQuestion),
                    QMessageBox::Yes | QMessageBox::No, dialog_parent_);
    box.setDefaultButton(QMessageBox::Yes);
    if (box.exec() != QMessageBox::Yes) return;
    commands_.clear();
    view_->setRowCount(0);
    current_row_ = -1;
}

void CommandListEditor::OnClick(int row) { current_row_ = row; }

void CommandListEditor::OnDoubleClick(int row, int column) {
    current_row_ = row;
    if (row < 0) return;
    if (column == CLV::kCommandColumn) {
        Replace();
    } else if (column == CLV::kParameterColumn &&
               view_->CellText(row, CLV::kParameterColumn) != QString::fromUtf8(kNoParamText)) {
        EditParameters(row);
    }
}

void CommandListEditor::EditParameters(int row) {
    S_CmdParam &record = commands_[static_cast<std::size_t>(row)];
    const CommandInfo *command = FindCommand(record.command);
    if (command != nullptr && command->file == FileUse::WriterConfig) {
        const std::string output = ConfigOutputPath(row);
        dialogs::WriterConfigDialog dialog(std::string(CmdText(record.file)), dialog_parent_);
        dialog.set_output_path(output);
        if (dialog.Run() != QDialog::Accepted) return;
        if (!SetCmdText(record.file, output)) {
            log_.LogLevelLine(run::LogError, "KV配置文件路径过长：" + output);
            return;
        }
        FormatParameterText(record);
        log_.LogLevelLine(run::LogInfo, "KV配置已保存：" + output);
        return;
    }
    dialogs::ParamDialog dialog(record, dialog_parent_);
    if (dialog.exec() != QDialog::Accepted) return;
    record = dialog.record();
    FormatParameterText(record);
}

}  // namespace kelvra::gui::windows
