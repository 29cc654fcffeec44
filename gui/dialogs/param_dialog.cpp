#include "gui/dialogs/param_dialog.h"

#include "gui/dialogs/field_parse.h"
#include "gui/widgets/artwork.h"
#include "host/model/command_table.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>

#include <array>
#include <vector>

namespace kelvra::gui::dialogs {
namespace {

using P = ParamDialog;

// Template 105, 336 x 307 dialog units; everything but the two buttons starts hidden.
const ControlEntry kTemplate[] = {
    {P::kFwNumLabel, Kind::Label, "hex固件序号：", 29, 15, 66, 13, kHidden},
    {P::kFwNum, Kind::Edit, "", 97, 11, 53, 19, kHidden | kCentred},
    {P::kFwNumHint, Kind::Label, "(从0开始，-1烧录所有)", 153, 15, 89, 13, kHidden},
    {P::kAddressLabel, Kind::Label, "起始地址：", 60, 39, 35, 13, kHidden},
    {P::kAddress, Kind::Edit, "", 97, 35, 53, 19, kHidden | kCentred},
    {P::kBaudLabel, Kind::Label, "波特率：", 169, 39, 35, 13, kHidden},
    {P::kBaud, Kind::Edit, "", 208, 35, 53, 19, kHidden | kCentred | kDigits},
    {P::kSizeLabel, Kind::Label, "数据大小：", 60, 63, 35, 13, kHidden},
    {P::kSize, Kind::Edit, "", 97, 60, 53, 19, kHidden | kCentred},
    {P::kTimeoutLabel, Kind::Label, "timeout：", 169, 63, 35, 13, kHidden},
    {P::kTimeout, Kind::Edit, "", 208, 60, 53, 19, kHidden | kCentred | kDigits},
    {P::kDirectionLabel, Kind::Label, "广播方向：", 46, 89, 49, 13, kHidden},
    {P::kUsbToUart, Kind::Radio, "USB to UART", 109, 89, 58, 10, kHidden | kGroupStart},
    {P::kUartToUsb, Kind::Radio, "UART to USB", 183, 89, 58, 10, kHidden},
    {P::kBroadcastLabel, Kind::Label, "广播设置：", 46, 109, 49, 10, kHidden},
    {P::kWithResponse, Kind::CheckBox, "广播带RSP", 109, 109, 49, 10, kHidden},
    {P::kWaitResponse, Kind::CheckBox, "广播timeout使能", 183, 109, 68, 10, kHidden},
    {P::kFrameLabel, Kind::Label, "AT帧设置：", 46, 129, 49, 13, kHidden},
    {P::kPayloadOnly, Kind::Radio, "只转发有效数据", 109, 129, 64, 10, kHidden | kGroupStart},
    {P::kWholeFrame, Kind::Radio, "转发完整的AT 帧结构", 183, 129, 82, 10, kHidden},
    {P::kPasswordLabel, Kind::Label, "密码：", 60, 152, 35, 13, kHidden},
    {P::kPassword, Kind::Edit, "", 97, 149, 164, 19, kHidden | kPassword},
    {P::kFileLabel, Kind::Label, "文件路径：", 60, 176, 35, 13, kHidden},
    {P::kFile, Kind::Edit, "", 97, 173, 164, 19, kHidden},
    {P::kLoadFile, Kind::Button, "加载文件", 265, 171, 53, 23, kHidden},
    {P::kModeLabel, Kind::Label, "模式选择：", 60, 199, 35, 13, kHidden},
    {P::kMode, Kind::DropDown, "", 97, 198, 162, 30, kHidden},
    {P::kResetLabel, Kind::Label, "复位方式选择：", 46, 232, 49, 8, kHidden},
    {P::kReset, Kind::DropDown, "", 98, 229, 162, 30, kHidden},
    {P::kOk, Kind::Button, "确 定", 93, 261, 56, 25, kDefault},
    {P::kCancel, Kind::Button, "取 消", 201, 261, 56, 25},
};
constexpr int kWidthUnits = 336;
constexpr int kHeightUnits = 307;

// The controls of one parameter. A broadcast's time-out follows the broadcast rules instead.
std::vector<int> ControlsOf(const CommandInfo &command, Param param) {
    switch (param) {
        case Param::Address: return {P::kAddressLabel, P::kAddress};
        case Param::Size: return {P::kSizeLabel, P::kSize};
        case Param::Timeout:
            if (!command.needs_timeout()) return {};
            return {P::kTimeoutLabel, P::kTimeout};
        case Param::File: return {P::kLoadFile, P::kFileLabel, P::kFile};
        case Param::Password: return {P::kPasswordLabel, P::kPassword};
        case Param::BaudRate: return {P::kBaudLabel, P::kBaud};
        case Param::ResetType: return {P::kResetLabel, P::kReset};
        case Param::Mode: return {P::kModeLabel, P::kMode};
        case Param::FwNum: return {P::kFwNumLabel, P::kFwNumHint, P::kFwNum};
        case Param::Broadcast: return {P::kWithResponse, P::kUsbToUart, P::kUartToUsb};
        case Param::Data: break;  // the dialog has no data field: a broadcast names its file
    }
    return {};
}

QString RecordText(const char (&field)[kCmdTextSize]) {
    const std::string_view text = CmdText(field);
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Checks a radio of the group by index; none for a value no radio stands for.
void SetGroup(QButtonGroup *group, std::int32_t index) {
    group->setExclusive(false);
    for (QAbstractButton *button : group->buttons()) button->setChecked(group->id(button) == index);
    group->setExclusive(true);
}

}  // namespace

void ShowIntegerMessage(QWidget *parent) {
    QMessageBox::warning(parent, QStringLiteral("Kelvra_ATCmd_GUI"), QString::fromUtf8(kIntegerMessage));
}

ParamDialog::ParamDialog(const S_CmdParam &record, QWidget *parent) : QDialog(parent), record_(record) {
    setWindowTitle(QStringLiteral("ATCmd参数设置界面"));
    setWindowIcon(widgets::ProgramIcon());
    const DialogUnits units = DialogUnits::FromFont(DialogFont());
    MakeFixedDialog(this, units.Size(kWidthUnits, kHeightUnits));
    controls_ = BuildTemplate(this, kTemplate, units);

    auto *reset = controls_.get<QComboBox>(kReset);
    for (const std::string_view name : kResetTypeNames) {
        reset->addItem(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    }
    auto *mode = controls_.get<QComboBox>(kMode);
    mode->addItems({QStringLiteral("优先恢复之前的编程状态"), QStringLiteral("忽略数据记录全新加载")});
    for (const int id : {kFile, kPassword}) {
        controls_.get<QLineEdit>(id)->setValidator(new RecordTextValidator(controls_.widget(id)));
    }

    // The record into the controls.
    controls_.get<QLineEdit>(kFwNum)->setText(QString::number(record_.fw_num));
    controls_.get<QLineEdit>(kBaud)->setText(QString::number(record_.baudrate));
    controls_.get<QLineEdit>(kTimeout)->setText(QString::number(record_.timeout));
    controls_.get<QLineEdit>(kPassword)->setText(RecordText(record_.password));
    controls_.get<QLineEdit>(kFile)->setText(RecordText(record_.file));
    SetGroup(controls_.group(kUsbToUart), record_.direction);
    SetGroup(controls_.group(kPayloadOnly), record_.kf);
    controls_.get<QCheckBox>(kWithResponse)->setChecked(record_.bcst_with_rsp == 1);
    controls_.get<QCheckBox>(kWaitResponse)->setChecked(record_.wait_response == 1);
    reset->setCurrentIndex(record_.reset_type < kResetTypeNames.size() ? static_cast<int>(record_.reset_type) : -1);
    mode->setCurrentIndex(record_.mode == 0 || record_.mode == 1 ? record_.mode : -1);
    controls_.get<QLineEdit>(kAddress)->setText(HexText(record_.address));
    controls_.get<QLineEdit>(kSize)->setText(HexText(record_.size));
    ShowFieldsOf(record_.command);

    connect(controls_.get<QCheckBox>(kWithResponse), &QCheckBox::clicked, this, [this](bool checked) {
        // Unticked, the broadcast has no response to wait for or frame to forward: the hidden
        // boxes would otherwise still be exported and bring "广播带RSP" back on reload.
        if (!checked) {
            controls_.get<QCheckBox>(kWaitResponse)->setChecked(false);
            controls_.get<QAbstractButton>(kPayloadOnly)->setChecked(true);
        }
        ApplyRuleA();
    });
    connect(controls_.get<QCheckBox>(kWaitResponse), &QCheckBox::clicked, this, &ParamDialog::ApplyRuleB);
    connect(controls_.get<QPushButton>(kLoadFile), &QPushButton::clicked, this, &ParamDialog::ChooseFile);
    connect(controls_.get<QPushButton>(kOk), &QPushButton::clicked, this, &ParamDialog::accept);
    connect(controls_.get<QPushButton>(kCancel), &QPushButton::clicked, this, &ParamDialog::reject);
}

void ParamDialog::Show(int id, bool shown) {
    if (QWidget *w = controls_.widget(id)) w->setHidden(!shown);
}

void ParamDialog::ShowFieldsOf(std::int32_t id) {
    const CommandInfo *command = FindCommand(id);
    if (command == nullptr) return;
    for (const Param param : command->params)
        for (const int control : ControlsOf(*command, param)) Show(control);
    // The project is named, not browsed: it is already on the writer.
    if (command->file == FileUse::WriterProject) controls_.widget(kLoadFile)->setEnabled(false);
    if (command->takes(Param::Broadcast)) {
        ApplyRuleA();
        ApplyRuleB();
    }
}

void ParamDialog::ApplyRuleA() {
    const bool with_response = controls_.get<QCheckBox>(kWithResponse)->isChecked();
    const bool wait = controls_.get<QCheckBox>(kWaitResponse)->isChecked();
    for (const int id : {kWaitResponse, kPayloadOnly, kWholeFrame}) Show(id, with_response);
    Show(kTimeoutLabel, with_response && wait);
    Show(kTimeout, with_response && wait);
}

void ParamDialog::ApplyRuleB() {
    const bool wait = controls_.get<QCheckBox>(kWaitResponse)->isChecked();
    Show(kTimeoutLabel, wait);
    Show(kTimeout, wait);
}

QString ParamDialog::FileFilter(std::int32_t id) {
    const CommandInfo *command = FindCommand(id);
    switch (command != nullptr ? command->file : FileUse::None) {
        case FileUse::Project: return QStringLiteral("pkg file (*.pkg)");
        case FileUse::Payload: return QStringLiteral("txt file (*.txt)");
        case FileUse::Image:
            return QStringLiteral("bin file (*.bin);;hex file (*.hex);;s19 file (*.s19);;All  (*.bin *.hex *.s19)");
        case FileUse::None:
        case FileUse::WriterConfig:
        case FileUse::WriterProject: break;
    }
    return QStringLiteral("bin file (*.bin)");
}

bool ParamDialog::SetChosenFile(const QString &path) {
    if (!FitsRecordText(path)) {
        QMessageBox::warning(this, QStringLiteral("警告"), QString::fromUtf8(kPathTooLongMessage).arg(path));
        return false;
    }
    controls_.get<QLineEdit>(kFile)->setText(path);
    return true;
}

void ParamDialog::ChooseFile() {
    QFileDialog dialog(this, QString(), QString(), FileFilter(record_.command));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    SetChosenFile(dialog.selectedFiles().front());
}

void ParamDialog::accept() {
    S_CmdParam r = record_;
    SetCmdText(r.file, FitRecordText(controls_.get<QLineEdit>(kFile)->text()).toStdString());
    SetCmdText(r.password, FitRecordText(controls_.get<QLineEdit>(kPassword)->text()).toStdString());
    r.address = ParseHexField(controls_.get<QLineEdit>(kAddress)->text());
    r.size = ParseHexField(controls_.get<QLineEdit>(kSize)->text());
    const std::array<std::pair<int, std::int32_t *>, 3> integers{{
        {kFwNum, &r.fw_num}, {kBaud, &r.baudrate}, {kTimeout, &r.timeout}}};
    for (const auto &[id, field] : integers) {
        auto *edit = controls_.get<QLineEdit>(id);
        const auto value = ParseIntField(edit->text());
        if (!value) {
            ShowIntegerMessage(this);
            edit->setFocus();
            edit->selectAll();
            return;
        }
        *field = *value;
    }
    r.direction = controls_.group(kUsbToUart)->checkedId();
    r.kf = controls_.group(kPayloadOnly)->checkedId();
    r.bcst_with_rsp = controls_.get<QCheckBox>(kWithResponse)->isChecked() ? 1 : 0;
    r.wait_response = controls_.get<QCheckBox>(kWaitResponse)->isChecked() ? 1 : 0;
    r.reset_type = static_cast<std::uint32_t>(controls_.get<QComboBox>(kReset)->currentIndex());
    r.mode = controls_.get<QComboBox>(kMode)->currentIndex();
    record_ = r;
    QDialog::accept();
}

}  // namespace kelvra::gui::dialogs
