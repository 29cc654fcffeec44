// The command list editor of the main window: the job (`commands`), the row the buttons act
// on (`current_row`), and add, insert, replace, delete, move, clear and the double clicks that
// open the selection, parameter and writer configuration dialogs. The list view only shows
// text rendered from the records.
#pragma once

#include "gui/widgets/command_list_view.h"
#include "host/model/cmd_param.h"
#include "host/run/message_log.h"

#include <QObject>
#include <QPoint>
#include <QString>

#include <cstdint>
#include <functional>
#include <string>
#include <optional>
#include <vector>

namespace kelvra::gui::windows {

inline constexpr const char *kNoParamText = "无";
inline constexpr const char *kSetParamText = "鼠标双击设置或修改参数";
inline constexpr const char *kNoRowText = "请选择命令列表指定行";
inline constexpr const char *kTopText = "已上移至表头，无法继续上移";
inline constexpr const char *kBottomText = "已下移至表尾，无法继续下移";
inline constexpr const char *kClearQuestion = "是否清空所有命令？";

// The commands whose parameters are set with a double click.
bool HasParameters(std::int32_t command);
// The parameter cell's summary of a record; nothing for a command whose cell it leaves alone.
std::optional<QString> ParameterSummary(const S_CmdParam &record);

class CommandListEditor : public QObject {
    Q_OBJECT
public:
    CommandListEditor(widgets::CommandListView *view, run::MessageLog &log, QWidget *dialog_parent);

    std::vector<S_CmdParam> &commands() { return commands_; }
    const std::vector<S_CmdParam> &commands() const { return commands_; }
    int current_row() const { return current_row_; }

    // Rebuilds the view from `commands`; returns the number of records.
    int RefreshCommandList();
    void ShowCommandRow(int row, std::int32_t command, bool insert);
    // Writes the summary of `record` into the current row's parameter cell.
    void FormatParameterText(const S_CmdParam &record);
    bool RequireCurrentRow();
    // Shows a row (a run refused it) and makes it the current row: the highlighted row is
    // always the one the buttons act on.
    void SelectRow(int row);
    // The context menu of the list: the editing buttons, acting on the current row.
    void ShowMenu(const QPoint &global);
    // Where a writer configuration row's file goes when it has none of its own yet: this folder
    // (the last script's) or, when empty, the current directory.
    void set_config_folder(std::function<QString()> folder) { config_folder_ = std::move(folder); }
    // A configuration file for `row` that no other row names: its own when the program made it,
    // else the first free writer_cfg.json, writer_cfg_2.json, ...
    std::string ConfigOutputPath(int row) const;

    void Add();
    void Insert();
    void Replace();
    void Delete();
    void MoveUp();
    void MoveDown();
    void Clear();
    void OnClick(int row);
    void OnDoubleClick(int row, int column);

private:
    std::optional<std::int32_t> ChooseCommand();
    void Renumber(int from);
    void Move(int to);
    void EditParameters(int row);

    widgets::CommandListView *view_;
    run::MessageLog &log_;
    QWidget *dialog_parent_;
    std::vector<S_CmdParam> commands_;
    int current_row_ = -1;
    std::function<QString()> config_folder_;
};

}  // namespace kelvra::gui::windows
