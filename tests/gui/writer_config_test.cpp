// The writer configuration dialog: its defaults, the file OK writes, 16-bit time fields, and
// the files it cannot use.
#include "gui/dialogs/writer_config_dialog.h"
#include "gui_test_support.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

namespace kelvra::gui::test {
namespace {

using W = dialogs::WriterConfigDialog;

QByteArray ReadAll(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Presses OK; a message box that comes up is answered and its text returned.
QString PressOk(W &dialog) {
    auto text = std::make_shared<QString>();
    const QPointer<QTimer> watcher = OnNextModal([text](QWidget *modal) {
        *text = static_cast<QMessageBox *>(modal)->text();
        static_cast<QMessageBox *>(modal)->accept();
    });
    QTest::mouseClick(Control<QPushButton>(&dialog, W::kOk), Qt::LeftButton);
    Cancel(watcher);
    return *text;
}

// Runs the dialog's file loading with a message box answered; returns the box's text.
QString LoadWithBox(W &dialog, const QString &path) {
    auto text = std::make_shared<QString>();
    const QPointer<QTimer> watcher = OnNextModal([text](QWidget *modal) {
        *text = static_cast<QMessageBox *>(modal)->text();
        static_cast<QMessageBox *>(modal)->accept();
    });
    dialog.LoadFile(path);
    Cancel(watcher);
    return *text;
}

}  // namespace

class WriterConfigTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;
    QString before_;

private Q_SLOTS:
    void init() {
        before_ = QDir::currentPath();
        QDir::setCurrent(dir_.path());
        QFile::remove("writer_cfg.json");
    }
    void cleanup() { QDir::setCurrent(before_); }

    void defaults_are_shown_and_written_unchanged() {
        W dialog("");
        dialog.show();
        QVERIFY(dialog.load_warning().empty());
        QVERIFY(Control<QRadioButton>(&dialog, W::kChipErase)->isChecked());
        QVERIFY(Control<QRadioButton>(&dialog, W::kVext33)->isChecked());
        QCOMPARE(Control<QComboBox>(&dialog, W::kClock)->currentText(), QStringLiteral("10M hz"));
        QCOMPARE(Control<QComboBox>(&dialog, W::kOptionByte)->currentText(), QStringLiteral("恢复默认=>用户设置"));
        QVERIFY(Control<QCheckBox>(&dialog, W::kBuzzer)->isChecked());
        QVERIFY(Control<QRadioButton>(&dialog, W::kResetPulse)->isChecked());
        QVERIFY(Control<QCheckBox>(&dialog, W::kRunTarget)->isChecked());
        QVERIFY(!Control<QCheckBox>(&dialog, W::kAuto)->isChecked());
        QVERIFY(!Control<QCheckBox>(&dialog, W::kDisablePower)->isChecked());
        QStringList times;
        for (const int id : {W::kInDebounce, W::kOutDebounce, W::kPowerOnDebounce, W::kPowerOffDebounce}) {
            times << Control<QLineEdit>(&dialog, id)->text();
        }
        QCOMPARE(times.join('/'), QStringLiteral("100/100/250/250"));
        QVERIFY(PressOk(dialog).isEmpty());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(ReadAll("writer_cfg.json"),
                 ReadAll(QStringLiteral(KELVRA_SOURCE_DIR "/tests/cli/config/expected/writer_cfg_defaults.json")));
    }

    void a_time_field_keeps_16_bits() {
        {
            W dialog("");
            dialog.show();
            Control<QLineEdit>(&dialog, W::kInDebounce)->setText("40000");
            QVERIFY(PressOk(dialog).isEmpty());
            QCOMPARE(dialog.config().in_debounce_ms, std::uint16_t{40000});
        }
        W again("writer_cfg.json");
        QVERIFY(again.load_warning().empty());
        QCOMPARE(Control<QLineEdit>(&again, W::kInDebounce)->text(), QStringLiteral("-25536"));
    }

    void a_time_field_without_a_number_keeps_the_dialog_open() {
        W dialog("");
        dialog.show();
        Control<QLineEdit>(&dialog, W::kOutDebounce)->setText("7");
        Control<QLineEdit>(&dialog, W::kPowerOnDebounce)->setText("abc");
        Control<QCheckBox>(&dialog, W::kBuzzer)->setChecked(false);
        QCOMPARE(PressOk(dialog), QStringLiteral("请输入一个整数。"));
        QVERIFY(dialog.isVisible());
        // What was read before the refused field went into the file all the same.
        const QByteArray written = ReadAll("writer_cfg.json");
        QVERIFY(written.contains("\"out debounce(ms)\": 7"));
        QVERIFY(written.contains("\"buzzer\": false"));
    }

    void files_it_cannot_use() {
        QFile bin("image.bin");
        QVERIFY(bin.open(QIODevice::WriteOnly));
        bin.write("\x01\x02");
        bin.close();
        QFile bad("bad.json");
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write(R"({"base config": {"erase": "all", "vext": 2}})");
        bad.close();

        W dialog("");
        dialog.show();
        QCOMPARE(LoadWithBox(dialog, "image.bin"), QStringLiteral("打开文件失败"));
        QCOMPARE(Control<QLineEdit>(&dialog, W::kFile)->text(), QStringLiteral("image.bin"));
        QVERIFY(Control<QRadioButton>(&dialog, W::kChipErase)->isChecked());
        const QString warning = LoadWithBox(dialog, "bad.json");
        QVERIFY2(warning.contains("type must be number"), qPrintable(warning));
        QVERIFY(Control<QRadioButton>(&dialog, W::kChipErase)->isChecked());  // erase is read first

        W from_row("bad.json");
        QVERIFY(QString::fromStdString(from_row.load_warning()).endsWith(QStringLiteral("，已加载默认参数")));
        QCOMPARE(from_row.config().erase, std::uint8_t{1});
        W missing("gone.json");
        QCOMPARE(QString::fromStdString(missing.load_warning()), QStringLiteral("文件不存在或文件格式错误，已加载默认参数"));
    }
};

KELVRA_GUI_SUITE("writer_config", WriterConfigTest);

}  // namespace kelvra::gui::test

#include "writer_config_test.moc"
