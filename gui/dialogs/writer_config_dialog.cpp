#include "gui/dialogs/writer_config_dialog.h"

#include "gui/dialogs/field_parse.h"
#include "gui/dialogs/param_dialog.h"
#include "gui/widgets/artwork.h"
#include "host/files/json_file.h"
#include "host/files/writer_documents.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <array>
#include <cstddef>

namespace kelvra::gui::dialogs {
namespace {

using W = WriterConfigDialog;

// Template 107, 296 x 354 dialog units. Where the design gives a position only, the size is
// the space up to the next control; the two drop-down lists reach to their frame's edge, so
// "恢复默认=>用户设置" is not clipped by a wider combo-box button than the original's.
const ControlEntry kTemplate[] = {
    {0, Kind::GroupBox, "擦除方式", 20, 17, 56, 57},
    {W::kNoErase, Kind::Radio, "不擦除", 27, 30, 46, 10, kGroupStart},
    {W::kChipErase, Kind::Radio, "全片擦除", 27, 44, 46, 10},
    {W::kPageErase, Kind::Radio, "页面擦除", 27, 58, 46, 10},
    {0, Kind::GroupBox, "接口电平", 79, 17, 50, 57},
    {W::kVext18, Kind::Radio, "1.8V", 86, 28, 41, 10, kGroupStart},
    {W::kVext33, Kind::Radio, "3.3V", 86, 39, 41, 10},
    {W::kVext50, Kind::Radio, "5.0V", 86, 50, 41, 10},
    {W::kVextExternal, Kind::Radio, "外部输入", 86, 61, 41, 10},
    {0, Kind::GroupBox, "其他", 139, 17, 125, 57},
    {0, Kind::Label, "编程速度", 145, 28, 33, 8},
    {W::kClock, Kind::DropDown, "", 180, 26, 82, 12},
    {0, Kind::Label, "选项字节", 145, 45, 33, 8},
    {W::kOptionByte, Kind::DropDown, "", 180, 43, 82, 12},
    {W::kBuzzer, Kind::CheckBox, "开启蜂鸣器", 146, 61, 50, 10},
    {0, Kind::GroupBox, "复位信号", 20, 89, 110, 57},
    {W::kResetLow, Kind::Radio, "输出常低电平", 27, 102, 100, 10, kGroupStart},
    {W::kResetOff, Kind::Radio, "关闭输出（高阻）", 27, 116, 100, 10},
    {W::kResetPulse, Kind::Radio, "输出复位后关闭", 27, 130, 100, 10},
    {0, Kind::Label, "Auto In Debounce", 140, 94, 82, 10},
    {W::kInDebounce, Kind::Edit, "", 223, 92, 40, 14, kCentred},
    {0, Kind::Label, "Auto Out Debounce", 140, 110, 82, 10},
    {W::kOutDebounce, Kind::Edit, "", 223, 108, 40, 14, kCentred},
    {0, Kind::Label, "上电稳定时间(ms)", 140, 126, 82, 10},
    {W::kPowerOnDebounce, Kind::Edit, "", 223, 124, 40, 14, kCentred},
    {0, Kind::Label, "掉电稳定时间(ms)", 140, 142, 82, 10},
    {W::kPowerOffDebounce, Kind::Edit, "", 223, 140, 40, 14, kCentred},
    {W::kAuto, Kind::CheckBox, "Auto Enable", 26, 160, 99, 10},
    {W::kRunTarget, Kind::CheckBox, "编程完成后启动芯片", 26, 175, 99, 10},
    {W::kDisablePower, Kind::CheckBox, "编程完成后关闭电源输出", 26, 190, 99, 10},
    {W::kFileLabel, Kind::Label, "文件路径：", 27, 225, 35, 13},
    {W::kFile, Kind::Edit, "", 66, 222, 164, 19, kReadOnly},
    {W::kLoadFile, Kind::Button, "加载文件", 117, 248, 53, 23},
    {W::kOk, Kind::Button, "确 定", 62, 288, 56, 25, kDefault},
    {W::kCancel, Kind::Button, "取 消", 170, 288, 56, 25},
};
constexpr int kWidthUnits = 296;
constexpr int kHeightUnits = 354;

const char *const kClockItems[] = {"20M hz(扩展)", "10M hz", "5M hz", "2M hz", "1M hz", "500K hz",
                                   "200K hz", "100K hz", "50K hz", "20K hz", "10K hz", "5K hz"};
const char *const kOptionByteItems[] = {"无操作=>无操作", "无操作=>用户设置", "恢复默认=>无操作", "恢复默认=>用户设置"};

void SetGroup(QButtonGroup *group, int index) {
    group->setExclusive(false);
    for (QAbstractButton *button : group->buttons()) button->setChecked(group->id(button) == index);
    group->setExclusive(true);
}

// The four time fields, exchanged directly with the record as signed 16-bit numbers. The
// record is packed, so they are read and written as little-endian bytes at their offsets.
struct TimeField {
    int id;
    std::size_t offset;
};
const std::array<TimeField, 4> kTimeFields{{
    {W::kInDebounce, offsetof(kvat_writer_config, in_debounce_ms)},
    {W::kOutDebounce, offsetof(kvat_writer_config, out_debounce_ms)},
    {W::kPowerOnDebounce, offsetof(kvat_writer_config, power_on_debounce_ms)},
    {W::kPowerOffDebounce, offsetof(kvat_writer_config, power_off_debounce_ms)},
}};

std::uint16_t TimeValue(const kvat_writer_config &config, const TimeField &t) {
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(&config) + t.offset;
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

void SetTimeValue(kvat_writer_config &config, const TimeField &t, std::uint16_t value) {
    auto *bytes = reinterpret_cast<std::uint8_t *>(&config) + t.offset;
    bytes[0] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[1] = static_cast<std::uint8_t>(value >> 8);
}

}  // namespace

WriterConfigDialog::WriterConfigDialog(const std::string &file, QWidget *parent)
    : QDialog(parent), config_(files::writer_config_defaults()) {
    if (!file.empty()) {
        files::json_file document(file, files::json_file::mode::read);
        const std::string error = files::read_writer_config(document, config_);
        if (!error.empty()) load_warning_ = error + "，已加载默认参数";
    }
    MembersFromConfig();

    setWindowTitle(QStringLiteral("ATCmd参数设置界面"));
    setWindowIcon(widgets::ProgramIcon());
    const DialogUnits units = DialogUnits::FromFont(DialogFont());
    MakeFixedDialog(this, units.Size(kWidthUnits, kHeightUnits));
    controls_ = BuildTemplate(this, kTemplate, units);
    for (const char *item : kClockItems) controls_.get<QComboBox>(kClock)->addItem(QString::fromUtf8(item));
    for (const char *item : kOptionByteItems) controls_.get<QComboBox>(kOptionByte)->addItem(QString::fromUtf8(item));
    WriteControls();

    connect(controls_.get<QPushButton>(kLoadFile), &QPushButton::clicked, this, &WriterConfigDialog::ChooseFile);
    connect(controls_.get<QPushButton>(kOk), &QPushButton::clicked, this, &WriterConfigDialog::accept);
    connect(controls_.get<QPushButton>(kCancel), &QPushButton::clicked, this, &WriterConfigDialog::reject);
}

int WriterConfigDialog::Run() {
    if (!load_warning_.empty()) {
        QMessageBox::warning(parentWidget(), QStringLiteral("警告"), QString::fromStdString(load_warning_));
    }
    return exec();
}

void WriterConfigDialog::MembersFromConfig() {
    erase_ = config_.erase;
    vext_ = config_.vext;
    clock_ = config_.clock;
    buzzer_ = config_.buzzer;
    option_byte_ = config_.option_byte_type;
    auto_ = config_.auto_start;
    disable_power_ = config_.disable_power_after_programming;
    run_target_ = config_.run_target_after_programming;
    reset_pin_ = config_.reset_pin_ctrl;
}

void WriterConfigDialog::WriteControls() {
    SetGroup(controls_.group(kNoErase), erase_);
    SetGroup(controls_.group(kVext18), vext_);
    auto set_index = [this](int id, int index) {
        auto *box = controls_.get<QComboBox>(id);
        box->setCurrentIndex(index < box->count() ? index : -1);
    };
    set_index(kClock, clock_);
    set_index(kOptionByte, option_byte_);
    controls_.get<QCheckBox>(kBuzzer)->setChecked(buzzer_ != 0);
    SetGroup(controls_.group(kResetLow), reset_pin_);
    for (const TimeField &t : kTimeFields) {
        // A stored value above 32767 shows as the negative number of its 16 bits.
        controls_.get<QLineEdit>(t.id)->setText(QString::number(static_cast<std::int16_t>(TimeValue(config_, t))));
    }
    controls_.get<QCheckBox>(kAuto)->setChecked(auto_ != 0);
    controls_.get<QCheckBox>(kRunTarget)->setChecked(run_target_ != 0);
    controls_.get<QCheckBox>(kDisablePower)->setChecked(disable_power_ != 0);
}

QLineEdit *WriterConfigDialog::ReadControls() {
    erase_ = controls_.group(kNoErase)->checkedId();
    vext_ = controls_.group(kVext18)->checkedId();
    clock_ = controls_.get<QComboBox>(kClock)->currentIndex();
    option_byte_ = controls_.get<QComboBox>(kOptionByte)->currentIndex();
    buzzer_ = controls_.get<QCheckBox>(kBuzzer)->isChecked() ? 1 : 0;
    reset_pin_ = controls_.group(kResetLow)->checkedId();
    for (const TimeField &t : kTimeFields) {
        auto *edit = controls_.get<QLineEdit>(t.id);
        const auto value = ParseIntField(edit->text());
        if (!value) return edit;  // the exchange stops here
        SetTimeValue(config_, t, static_cast<std::uint16_t>(*value));
    }
    auto_ = controls_.get<QCheckBox>(kAuto)->isChecked() ? 1 : 0;
    run_target_ = controls_.get<QCheckBox>(kRunTarget)->isChecked() ? 1 : 0;
    disable_power_ = controls_.get<QCheckBox>(kDisablePower)->isChecked() ? 1 : 0;
    return nullptr;
}

void WriterConfigDialog::accept() {
    QLineEdit *failed = ReadControls();
    if (failed != nullptr) {
        ShowIntegerMessage(this);
        failed->setFocus();
        failed->selectAll();
    }
    config_.erase = static_cast<std::uint8_t>(erase_);
    config_.vext = static_cast<std::uint8_t>(vext_);
    config_.reset_pin_ctrl = static_cast<std::uint8_t>(reset_pin_);
    config_.buzzer = static_cast<std::uint8_t>(buzzer_);
    config_.auto_start = static_cast<std::uint8_t>(auto_);
    config_.run_target_after_programming = static_cast<std::uint8_t>(run_target_);
    config_.disable_power_after_programming = static_cast<std::uint8_t>(disable_power_);
    config_.clock = static_cast<std::uint8_t>(clock_);
    config_.option_byte_type = static_cast<std::uint8_t>(option_byte_);
    // Written even when a field was refused: what could be read goes into the file.
    files::json_file output(output_path_, files::json_file::mode::write);
    files::write_writer_config(output, config_);
    output.close();
    if (failed != nullptr) return;
    QDialog::accept();
}

void WriterConfigDialog::set_output_path(const std::string &path) {
    output_path_ = path;
    setWindowTitle(QStringLiteral("ATCmd参数设置界面 - ") + QString::fromStdString(path));
}

void WriterConfigDialog::LoadFile(const QString &path) {
    controls_.get<QLineEdit>(kFile)->setText(path);
    files::json_file document(path.toStdString(), files::json_file::mode::read);
    if (!document.is_open()) {
        QMessageBox::warning(this, QStringLiteral("Kelvra_ATCmd_GUI"), QStringLiteral("打开文件失败"));
        return;
    }
    const std::string error = files::read_writer_config(document, config_);
    if (!error.empty()) QMessageBox::warning(this, QStringLiteral("警告"), QString::fromStdString(error));
    MembersFromConfig();
    WriteControls();
}

void WriterConfigDialog::ChooseFile() {
    QFileDialog dialog(this, QString(), QString(),
                       QStringLiteral("All  (*.json *.bin);;json file (*.json);;bin File (*.bin)"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    LoadFile(dialog.selectedFiles().front());
}

}  // namespace kelvra::gui::dialogs
