// The parameter dialog: edits a private copy of one command record, showing only the fields
// that the record's command uses; OK hands the copy back.
#pragma once

#include "gui/dialogs/dialog_template.h"
#include "host/model/cmd_param.h"

#include <QDialog>
#include <QString>

namespace kelvra::gui::dialogs {

class ParamDialog : public QDialog {
    Q_OBJECT
public:
    // Control ids of the template.
    enum : int {
        kFwNumLabel = 1042, kFwNum = 1019, kFwNumHint = 1043,
        kAddressLabel = 1033, kAddress = 1013, kBaudLabel = 1035, kBaud = 1017,
        kSizeLabel = 1034, kSize = 1014, kTimeoutLabel = 1037, kTimeout = 1015,
        kDirectionLabel = 1036, kUsbToUart = 1029, kUartToUsb = 1030,
        kBroadcastLabel = 1041, kWithResponse = 1027, kWaitResponse = 1028,
        kFrameLabel = 1038, kPayloadOnly = 1031, kWholeFrame = 1032,
        kPasswordLabel = 1039, kPassword = 1016, kFileLabel = 1040, kFile = 1018, kLoadFile = 1022,
        kModeLabel = 1044, kMode = 1049, kResetLabel = 1046, kReset = 1048,
        kOk = 1020, kCancel = 1021,
    };

    explicit ParamDialog(const S_CmdParam &record, QWidget *parent = nullptr);

    const S_CmdParam &record() const { return record_; }
    QWidget *control(int id) const { return controls_.widget(id); }

    // The open-file dialog's filter for a command's file.
    static QString FileFilter(std::int32_t command);
    // Writes a chosen file's path into the file field; refused (false) when it does not fit.
    bool SetChosenFile(const QString &path);

    // OK: the fields go into the record; an integer field that does not start with an integer
    // keeps the dialog open with the platform's message.
    void accept() override;

private:
    void ShowFieldsOf(std::int32_t command);
    void ApplyRuleA();
    void ApplyRuleB();
    void ChooseFile();
    void Show(int id, bool shown = true);

    S_CmdParam record_;
    TemplateControls controls_;
};

// The platform's message for an integer field that holds none.
inline constexpr const char *kIntegerMessage = "请输入一个整数。";
// Our refusal of a chosen path longer than a record's text field.
inline constexpr const char *kPathTooLongMessage = "文件路径过长（最多255字节），无法使用：\n%1";

// Shows kIntegerMessage as the platform does (the program's name as caption).
void ShowIntegerMessage(QWidget *parent);

}  // namespace kelvra::gui::dialogs
