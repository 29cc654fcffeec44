// The writer configuration dialog: edits a writer configuration record, starting from the
// defaults or from the file a "-setcfg" row names, and on OK writes it to its output path
// ("writer_cfg.json" in the current directory unless the caller names another).
#pragma once

#include "gui/dialogs/dialog_template.h"

#include <kelvra_at_records.h>

#include <QDialog>

#include <string>

class QLineEdit;

namespace kelvra::gui::dialogs {

class WriterConfigDialog : public QDialog {
    Q_OBJECT
public:
    enum : int {
        kNoErase = 1029, kChipErase = 1030, kPageErase = 1031,
        kVext18 = 1032, kVext33 = 1033, kVext50 = 1034, kVextExternal = 1035,
        kClock = 1042, kOptionByte = 1043, kBuzzer = 1027,
        kResetLow = 1038, kResetOff = 1039, kResetPulse = 1040,
        kInDebounce = 1013, kOutDebounce = 1015, kPowerOnDebounce = 1016, kPowerOffDebounce = 1017,
        kAuto = 1028, kRunTarget = 1036, kDisablePower = 1037,
        kFileLabel = 1041, kFile = 1018, kLoadFile = 1022, kOk = 1020, kCancel = 1021,
    };
    static constexpr const char *kOutputName = "writer_cfg.json";  // unless set_output_path

    // Reads `file` when it is not empty; a problem is kept for load_warning().
    explicit WriterConfigDialog(const std::string &file, QWidget *parent = nullptr);

    // "<error>，已加载默认参数" when the row's file could not be read, else "".
    const std::string &load_warning() const { return load_warning_; }
    // Shows the load warning, if any, then runs the dialog modally.
    int Run();

    const kvat_writer_config &config() const { return config_; }
    // Where OK writes the configuration; shown in the dialog.
    void set_output_path(const std::string &path);
    const std::string &output_path() const { return output_path_; }
    QWidget *control(int id) const { return controls_.widget(id); }

    // "加载文件" once a file was chosen.
    void LoadFile(const QString &path);
    void accept() override;

private:
    void MembersFromConfig();
    void WriteControls();
    // Reads the controls in template order; the time field that holds no integer, or null.
    QLineEdit *ReadControls();
    void ChooseFile();

    kvat_writer_config config_;
    std::string load_warning_;
    std::string output_path_ = kOutputName;
    TemplateControls controls_;
    int erase_ = 0, vext_ = 0, clock_ = 0, buzzer_ = 0, option_byte_ = 0, auto_ = 0, disable_power_ = 0,
        run_target_ = 0, reset_pin_ = 0;
};

}  // namespace kelvra::gui::dialogs
