// The command selection and parameter dialogs: the 25 buttons and the choice on the press,
// which fields each command shows, the broadcast rules, how the fields are read back, and
// texts that do not fit a record.
#include "gui/dialogs/field_parse.h"
#include "gui/dialogs/param_dialog.h"
#include "gui/dialogs/select_command_dialog.h"
#include "gui_test_support.h"
#include "host/script/cli_parse.h"
#include "host/model/at_command.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <algorithm>
#include <set>

namespace kelvra::gui::test {
namespace {

using P = dialogs::ParamDialog;

// Every field control of the parameter dialog (all but OK and Cancel).
const int kFieldIds[] = {P::kFwNumLabel, P::kFwNum, P::kFwNumHint, P::kAddressLabel, P::kAddress, P::kBaudLabel,
                         P::kBaud, P::kSizeLabel, P::kSize, P::kTimeoutLabel, P::kTimeout, P::kDirectionLabel,
                         P::kUsbToUart, P::kUartToUsb, P::kBroadcastLabel, P::kWithResponse, P::kWaitResponse,
                         P::kFrameLabel, P::kPayloadOnly, P::kWholeFrame, P::kPasswordLabel, P::kPassword,
                         P::kFileLabel, P::kFile, P::kLoadFile, P::kModeLabel, P::kMode, P::kResetLabel, P::kReset};

std::set<int> Shown(const P &dialog) {
    std::set<int> shown;
    for (const int id : kFieldIds) {
        if (!dialog.control(id)->isHidden()) shown.insert(id);
    }
    return shown;
}

QString Describe(const std::set<int> &ids) {
    QStringList out;
    for (const int id : ids) out << QString::number(id);
    return out.join(',');
}

// Presses OK; when a message box comes up, it is answered and its text returned.
QString PressOk(P &dialog) {
    auto text = std::make_shared<QString>();
    const QPointer<QTimer> watcher = OnNextModal([text](QWidget *modal) {
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            *text = box->text();
            box->accept();
        }
    }, &dialog);
    // A message box runs its own loop inside the click, so it has come and gone by now.
    QTest::mouseClick(Control<QPushButton>(&dialog, P::kOk), Qt::LeftButton);
    Cancel(watcher);
    return *text;
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // ------------------------------------ selection dialog ------------------------------------
    void selection_shows_25_buttons_in_two_columns() {
        dialogs::SelectCommandDialog dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("ATCmd选择"));
        const auto &buttons = dialog.buttons();
        QCOMPARE(static_cast<int>(buttons.size()), 25);
        int k = 0;
        for (const auto &[id, name] : ATCmdDisplayNames()) {
            const QPushButton *b = buttons[static_cast<std::size_t>(k)];
            const bool left = k < 12;
            const int row = left ? k : k - 12;
            QCOMPARE(b->property("controlId").toInt(), id);
            QCOMPARE(b->text(), QString::fromStdString(name));
            QCOMPARE(b->geometry(), QRect(left ? 60 : 320, 5 + 45 * row, 200, 40));
            ++k;
        }
        QCOMPARE(buttons[0]->text(), QStringLiteral("查询KV信息"));
        QCOMPARE(buttons[11]->text(), QStringLiteral("读取目标芯片选项字"));
        QCOMPARE(buttons[12]->text(), QStringLiteral("写入目标芯片默认选项字"));
        QCOMPARE(buttons[24]->text(), QStringLiteral("睡眠"));
        QCOMPARE(buttons[17]->text(), QStringLiteral("禁用离线项目"));
        QCOMPARE(buttons[20]->text(), QStringLiteral("切换离线项目"));
    }

    void selection_chooses_on_the_press_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("choice");  // 0: none
        QTest::newRow("press on 睡眠") << "press 500" << 500;
        QTest::newRow("press on 查询KV信息") << "press 1" << 1;
        QTest::newRow("Esc") << "esc" << 0;
        QTest::newRow("close box") << "close" << 0;
        QTest::newRow("Enter over 复位目标芯片") << "enter 114" << 114;
        QTest::newRow("Space on the focused button") << "space 206" << 206;
    }
    void selection_chooses_on_the_press() {
        QFETCH(QString, action);
        QFETCH(int, choice);
        dialogs::SelectCommandDialog dialog;
        const QStringList words = action.split(' ');
        const int id = words.size() > 1 ? words[1].toInt() : 0;
        bool closed_on_press = false;
        OnNextModal([&](QWidget *) {
            auto *button = Control<QPushButton>(&dialog, id);
            if (words[0] == "press") {
                QTest::mousePress(button, Qt::LeftButton);
                closed_on_press = !dialog.isVisible();
                // Released somewhere else: the choice stands.
                QTest::mouseRelease(&dialog, Qt::LeftButton, {}, QPoint(5, 700));
            } else if (words[0] == "esc") {
                QTest::keyClick(&dialog, Qt::Key_Escape);
            } else if (words[0] == "close") {
                dialog.close();
            } else if (words[0] == "enter") {
                QCursor::setPos(button->mapToGlobal(button->rect().center()));
                QTest::keyClick(&dialog, Qt::Key_Return);
            } else if (words[0] == "space") {
                button->setFocus();
                QTest::keyClick(button, Qt::Key_Space);
            }
        });
        dialog.exec();
        QCOMPARE(dialog.choice().value_or(0), choice);
        if (words[0] == "press") QVERIFY(closed_on_press);
    }

    // ------------------------------------ parameter dialog ------------------------------------
    void fields_shown_per_command_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<QList<int>>("shown");
        QTest::newRow("6 baud rate") << 6 << QList<int>{P::kBaudLabel, P::kBaud};
        QTest::newRow("104 read") << 104 << QList<int>{P::kAddressLabel, P::kAddress, P::kSizeLabel, P::kSize};
        QTest::newRow("107 erase sectors")
            << 107 << QList<int>{P::kAddressLabel, P::kAddress, P::kSizeLabel, P::kSize, P::kTimeoutLabel, P::kTimeout};
        for (const int id : {106, 112, 113, 300, 301, 500}) {
            QTest::addRow("%d time-out", id) << id << QList<int>{P::kTimeoutLabel, P::kTimeout};
        }
        QTest::newRow("109 write") << 109
                                   << QList<int>{P::kLoadFile, P::kFileLabel, P::kFile, P::kAddressLabel, P::kAddress,
                                                 P::kFwNumLabel, P::kFwNumHint, P::kFwNum};
        QTest::newRow("114 reset") << 114 << QList<int>{P::kResetLabel, P::kReset};
        QTest::newRow("202 load project")
            << 202 << QList<int>{P::kLoadFile, P::kFile, P::kFileLabel, P::kPasswordLabel, P::kPassword};
        QTest::newRow("207 switch project") << 207
                                            << QList<int>{P::kLoadFile, P::kFile, P::kFileLabel, P::kPasswordLabel,
                                                          P::kPassword, P::kModeLabel, P::kMode};
        QTest::newRow("400 broadcast") << 400
                                       << QList<int>{P::kWithResponse, P::kUsbToUart, P::kUartToUsb, P::kLoadFile,
                                                     P::kFileLabel, P::kFile};
        QTest::newRow("5 writer configuration") << 5 << QList<int>{P::kLoadFile, P::kFileLabel, P::kFile};
        for (const int id : {1, 3, 100, 101, 102, 110, 200, 204, 205, 206}) {
            QTest::addRow("%d nothing", id) << id << QList<int>{};
        }
    }
    void fields_shown_per_command() {
        QFETCH(int, command);
        QFETCH(QList<int>, shown);
        P dialog(NewCmdParam(command));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("ATCmd参数设置界面"));
        const std::set<int> expected(shown.begin(), shown.end());
        QCOMPARE(Describe(Shown(dialog)), Describe(expected));
        QVERIFY(!dialog.control(P::kOk)->isHidden());
        QVERIFY(!dialog.control(P::kCancel)->isHidden());
        // The project to switch to is typed, never browsed.
        QCOMPARE(dialog.control(P::kLoadFile)->isEnabled(), command != 207);
    }

    void broadcast_rules() {
        S_CmdParam record = NewCmdParam(ATCmdBroadcast);
        P dialog(record);
        dialog.show();
        const std::set<int> base{P::kWithResponse, P::kUsbToUart, P::kUartToUsb, P::kLoadFile, P::kFileLabel, P::kFile};
        QCOMPARE(Describe(Shown(dialog)), Describe(base));
        QTest::mouseClick(Control<QCheckBox>(&dialog, P::kWithResponse), Qt::LeftButton);
        std::set<int> with = base;
        with.insert({P::kWaitResponse, P::kPayloadOnly, P::kWholeFrame});
        QCOMPARE(Describe(Shown(dialog)), Describe(with));
        QTest::mouseClick(Control<QCheckBox>(&dialog, P::kWaitResponse), Qt::LeftButton);
        std::set<int> waiting = with;
        waiting.insert({P::kTimeoutLabel, P::kTimeout});
        QCOMPARE(Describe(Shown(dialog)), Describe(waiting));
        QTest::mouseClick(Control<QCheckBox>(&dialog, P::kWithResponse), Qt::LeftButton);
        QCOMPARE(Describe(Shown(dialog)), Describe(base));

        // A record that asks for both shows everything at once.
        record.bcst_with_rsp = 1;
        record.wait_response = 1;
        P both(record);
        QCOMPARE(Describe(Shown(both)), Describe(waiting));
    }

    void unticking_the_response_clears_what_it_hid() {
        S_CmdParam record = NewCmdParam(ATCmdBroadcast);
        record.bcst_with_rsp = 1;
        record.wait_response = 1;
        record.kf = 1;
        record.timeout = 300;
        SetCmdText(record.data, "01");
        P dialog(record);
        dialog.show();
        QTest::mouseClick(Control<QCheckBox>(&dialog, P::kWithResponse), Qt::LeftButton);
        QTest::mouseClick(Control<QPushButton>(&dialog, P::kOk), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        const S_CmdParam out = dialog.record();
        QCOMPARE(out.bcst_with_rsp, 0);
        QCOMPARE(out.wait_response, 0);
        QCOMPARE(out.kf, 0);
        // Exported and loaded again, it is still a broadcast without a response.
        script::cli_parse parser;
        S_CmdParam back;
        std::string message;
        QCOMPARE(parser.parse_line(parser.command_line(out), back, message), 0);
        QCOMPARE(back.bcst_with_rsp, 0);
        QCOMPARE(back.wait_response, 0);
    }

    void fields_read_back_data() {
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<qlonglong>("value");  // -999: refused with the integer message
        QTest::newRow("address 1000 is hex") << int(P::kAddress) << "1000" << 0x1000LL;
        QTest::newRow("address 0x1000") << int(P::kAddress) << "0x1000" << 0x1000LL;
        QTest::newRow("address 0X1a") << int(P::kAddress) << "  0X1a" << 0x1aLL;
        QTest::newRow("address zz") << int(P::kAddress) << "zz" << 0LL;
        QTest::newRow("address empty") << int(P::kAddress) << "" << 0LL;
        QTest::newRow("address sign skipped") << int(P::kAddress) << "-10" << 0x10LL;
        QTest::newRow("address 12zz") << int(P::kAddress) << "12zz" << 0x12LL;
        QTest::newRow("address beyond 32 bits") << int(P::kAddress) << "0x123456789" << 0xFFFFFFFFLL;
        QTest::newRow("size ffffffff") << int(P::kSize) << "ffffffff" << 0xFFFFFFFFLL;
        QTest::newRow("fw-num -1") << int(P::kFwNum) << "-1" << -1LL;
        QTest::newRow("fw-num all") << int(P::kFwNum) << "all" << -999LL;
        QTest::newRow("fw-num 7abc") << int(P::kFwNum) << " 7abc" << 7LL;
        QTest::newRow("fw-num too large") << int(P::kFwNum) << "99999999999" << 2147483647LL;
        QTest::newRow("fw-num only a sign") << int(P::kFwNum) << "-" << -999LL;
        QTest::newRow("timeout empty") << int(P::kTimeout) << "" << -999LL;
        QTest::newRow("timeout 250") << int(P::kTimeout) << "250" << 250LL;
        QTest::newRow("baud 9600") << int(P::kBaud) << "9600" << 9600LL;
    }
    void fields_read_back() {
        QFETCH(int, field);
        QFETCH(QString, text);
        QFETCH(qlonglong, value);
        // A command that shows the field, so the refusal can give it the focus.
        S_CmdParam record = NewCmdParam(field == P::kTimeout ? ATCmdEraseTargetSectors
                                        : field == P::kBaud  ? ATCmdSetBaudRate
                                                             : ATCmdWriteTargetMemory);
        record.address = 4096;
        P dialog(record);
        dialog.show();
        QCOMPARE(Control<QLineEdit>(&dialog, P::kAddress)->text(), QStringLiteral("0x1000"));
        QCOMPARE(Control<QLineEdit>(&dialog, P::kSize)->text(), QStringLiteral("0x0"));
        Control<QLineEdit>(&dialog, field)->setText(text);
        const QString message = PressOk(dialog);
        if (value == -999) {
            QCOMPARE(message, QStringLiteral("请输入一个整数。"));
            QVERIFY(dialog.isVisible());
            QCOMPARE(dialog.focusWidget(), Control<QWidget>(&dialog, field));
            return;
        }
        QVERIFY(message.isEmpty());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        const S_CmdParam &r = dialog.record();
        const qlonglong got = field == P::kAddress ? qlonglong(r.address)
                              : field == P::kSize  ? qlonglong(r.size)
                              : field == P::kFwNum ? qlonglong(r.fw_num)
                              : field == P::kTimeout ? qlonglong(r.timeout)
                                                     : qlonglong(r.baudrate);
        QCOMPARE(got, value);
    }

    void digits_only_fields_refuse_letters() {
        P dialog(NewCmdParam(ATCmdSleep));
        dialog.show();
        auto *timeout = Control<QLineEdit>(&dialog, P::kTimeout);
        timeout->clear();
        QTest::keyClicks(timeout, "5a0-0");
        QCOMPARE(timeout->text(), QStringLiteral("500"));
    }

    void choices_no_control_stands_for_become_minus_one() {
        S_CmdParam record = NewCmdParam(ATCmdBroadcast);
        record.direction = -100;
        record.kf = 5;
        record.reset_type = 9;
        record.mode = 2;
        P dialog(record);
        dialog.show();
        QVERIFY(!Control<QRadioButton>(&dialog, P::kUsbToUart)->isChecked());
        QVERIFY(!Control<QRadioButton>(&dialog, P::kUartToUsb)->isChecked());
        QCOMPARE(Control<QComboBox>(&dialog, P::kReset)->currentIndex(), -1);
        QVERIFY(PressOk(dialog).isEmpty());
        QCOMPARE(dialog.record().direction, -1);
        QCOMPARE(dialog.record().kf, -1);
        QCOMPARE(dialog.record().reset_type, 0xFFFFFFFFu);
        QCOMPARE(dialog.record().mode, -1);
    }

    void cancel_keeps_the_record() {
        S_CmdParam record = NewCmdParam(ATCmdSleep);
        P dialog(record);
        dialog.show();
        Control<QLineEdit>(&dialog, P::kTimeout)->setText("7");
        QTest::mouseClick(Control<QPushButton>(&dialog, P::kCancel), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(dialog.record().timeout, 500);
    }

    void texts_never_outgrow_the_record_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("kept");
        QTest::newRow("300 letters") << QString(300, 'a') << QString(255, 'a');
        QTest::newRow("100 CJK characters are 300 bytes") << QString(100, QChar(0x4E2D)) << QString(85, QChar(0x4E2D));
        QTest::newRow("line breaks removed") << "ab\r\ncd\n" << "abcd";
        QTest::newRow("a pair is not split")
            << QString(250, 'a') + QString::fromUtf8("😀😀") << QString(250, 'a') + QString::fromUtf8("😀");
    }
    void texts_never_outgrow_the_record() {
        QFETCH(QString, typed);
        QFETCH(QString, kept);
        P dialog(NewCmdParam(ATCmdLoadProject));
        dialog.show();
        for (const int id : {P::kFile, P::kPassword}) {
            auto *edit = Control<QLineEdit>(&dialog, id);
            edit->clear();
            edit->insert(typed);  // as a paste
            QCOMPARE(edit->text(), kept);
        }
        QVERIFY(PressOk(dialog).isEmpty());
        QCOMPARE(QString::fromUtf8(CmdText(dialog.record().file).data()), kept);
        QCOMPARE(QString::fromUtf8(CmdText(dialog.record().password).data()), kept);
        QVERIFY(CmdText(dialog.record().file).size() <= 255);
    }

    void a_chosen_path_too_long_is_refused() {
        P dialog(NewCmdParam(ATCmdWriteTargetMemory));
        dialog.show();
        QString message;
        OnNextModal([&message](QWidget *modal) {
            message = static_cast<QMessageBox *>(modal)->text();
            static_cast<QMessageBox *>(modal)->accept();
        }, &dialog);
        QVERIFY(!dialog.SetChosenFile(QStringLiteral("/") + QString(300, 'x') + ".bin"));
        QVERIFY(message.startsWith(QStringLiteral("文件路径过长")));
        QVERIFY(Control<QLineEdit>(&dialog, P::kFile)->text().isEmpty());
        QVERIFY(dialog.SetChosenFile("/data/app.hex"));
        QCOMPARE(Control<QLineEdit>(&dialog, P::kFile)->text(), QStringLiteral("/data/app.hex"));
    }

    void file_filters_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("filter");
        QTest::newRow("202") << 202 << "pkg file (*.pkg)";
        QTest::newRow("400") << 400 << "txt file (*.txt)";
        QTest::newRow("109") << 109 << "bin file (*.bin);;hex file (*.hex);;s19 file (*.s19);;All  (*.bin *.hex *.s19)";
        QTest::newRow("5") << 5 << "bin file (*.bin)";
        QTest::newRow("207") << 207 << "bin file (*.bin)";
    }
    void file_filters() {
        QFETCH(int, command);
        QFETCH(QString, filter);
        QCOMPARE(P::FileFilter(command), filter);
    }

    // Every command of the command table shows the controls of the parameters the table gives
    // it, and nothing else.
    void fields_follow_the_command_table() {
        for (const CommandInfo &command : kCommands) {
            std::set<int> expected;
            for (const Param param : command.params) {
                switch (param) {
                    case Param::Address: expected.insert({P::kAddressLabel, P::kAddress}); break;
                    case Param::Size: expected.insert({P::kSizeLabel, P::kSize}); break;
                    case Param::Timeout:
                        // A new broadcast does not wait, so its time-out stays hidden.
                        if (!command.takes(Param::Broadcast)) expected.insert({P::kTimeoutLabel, P::kTimeout});
                        break;
                    case Param::File: expected.insert({P::kLoadFile, P::kFileLabel, P::kFile}); break;
                    case Param::Password: expected.insert({P::kPasswordLabel, P::kPassword}); break;
                    case Param::BaudRate: expected.insert({P::kBaudLabel, P::kBaud}); break;
                    case Param::ResetType: expected.insert({P::kResetLabel, P::kReset}); break;
                    case Param::Mode: expected.insert({P::kModeLabel, P::kMode}); break;
                    case Param::FwNum: expected.insert({P::kFwNumLabel, P::kFwNumHint, P::kFwNum}); break;
                    case Param::Broadcast: expected.insert({P::kWithResponse, P::kUsbToUart, P::kUartToUsb}); break;
                    case Param::Data: break;
                }
            }
            P dialog(NewCmdParam(command.id));
            QVERIFY2(Describe(Shown(dialog)) == Describe(expected), command.name.data());
            QCOMPARE(dialog.control(P::kLoadFile)->isEnabled(), command.file != FileUse::WriterProject);
        }
    }
};

KELVRA_GUI_SUITE("dialogs", DialogsTest);

}  // namespace kelvra::gui::test

#include "dialogs_test.moc"
