// The command list editor: add, insert, replace, delete, move and clear with their messages,
// the double-click rules, and the parameter summaries.
#include "gui/dialogs/param_dialog.h"
#include "gui/dialogs/select_command_dialog.h"
#include "gui/dialogs/writer_config_dialog.h"
#include "gui/windows/command_list_editor.h"
#include "gui_test_support.h"
#include "host/model/at_command.h"

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QHeaderView>
#include <QMenu>
#include <QScrollBar>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace kelvra::gui::test {
namespace {

using windows::CommandListEditor;
using CLV = widgets::CommandListView;

QByteArray ReadFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct Rig {
    Rig() : view(new CLV(&window)), log(&sink), editor(view, log, &window) {
        window.resize(500, 300);
        view->setGeometry(0, 0, 485, 280);
        window.show();
    }
    // Runs an editing step that opens the selection dialog and presses `id` there (0: Esc).
    void Choosing(int id, const std::function<void()> &step) {
        const QPointer<QTimer> watcher = OnNextModal([id](QWidget *modal) {
            if (id == 0) {
                QTest::keyClick(modal, Qt::Key_Escape);
            } else {
                QTest::mousePress(Control<QPushButton>(modal, id), Qt::LeftButton);
            }
        });
        step();
        Cancel(watcher);
    }
    void Apply(const QString &op) {
        const QStringList w = op.split(' ', Qt::SkipEmptyParts);
        const int n = w.size() > 1 ? (w[1] == "esc" ? 0 : w[1].toInt()) : 0;
        if (w[0] == "add") Choosing(n, [this] { editor.Add(); });
        if (w[0] == "insert") Choosing(n, [this] { editor.Insert(); });
        if (w[0] == "replace") Choosing(n, [this] { editor.Replace(); });
        if (w[0] == "click") ClickRow(n);
        if (w[0] == "delete") editor.Delete();
        if (w[0] == "up") editor.MoveUp();
        if (w[0] == "down") editor.MoveDown();
        if (w[0] == "clear") {
            const QPointer<QTimer> watcher = OnNextModal([yes = w[1] == "yes"](QWidget *modal) {
                auto *box = static_cast<QMessageBox *>(modal);
                box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
            });
            editor.Clear();
            Cancel(watcher);
        }
    }
    QPoint CellCentre(int row, int column) const { return view->visualRect(view->model()->index(row, column)).center(); }
    void ClickRow(int row) {
        const QPoint at = row < view->rowCount() ? CellCentre(row, 0) : QPoint(10, view->viewport()->height() - 4);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
    }
    void DoubleClick(int row, int column) {
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, CellCentre(row, column));
    }
    QString Column(int column) const {
        QStringList out;
        for (int r = 0; r < view->rowCount(); ++r) out << view->CellText(r, column);
        return out.join(',');
    }
    QString Commands() const {
        QStringList out;
        for (const S_CmdParam &c : editor.commands()) out << QString::number(c.command);
        return out.join(',');
    }
    QString Messages() const {
        QStringList out;
        for (const auto &line : sink.lines) out << QString::fromStdString(line.text);
        return out.join('|');
    }

    QWidget window;
    CLV *view;
    RecordingSink sink;
    run::MessageLog log;
    CommandListEditor editor;
};

}  // namespace

class EditorTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void editing_data() {
        QTest::addColumn<QString>("ops");
        QTest::addColumn<QString>("commands");
        QTest::addColumn<QString>("numbers");
        QTest::addColumn<int>("current");
        QTest::addColumn<QString>("messages");
        const QString none = QStringLiteral("请选择命令列表指定行");
        QTest::newRow("nothing current") << "insert 100;replace 3;delete;up;down" << "" << "" << -1
                                         << QStringList(5, none).join('|');
        QTest::newRow("add three") << "add 1;add 104;add 500" << "1,104,500" << "1,2,3" << 2 << "";
        QTest::newRow("Esc adds nothing") << "add 1;add esc" << "1" << "1" << 0 << "";
        QTest::newRow("insert before the current row")
            << "add 1;add 104;add 500;click 1;insert 100" << "1,100,104,500" << "1,2,3,4" << 1 << "";
        QTest::newRow("replace") << "add 1;add 104;click 1;replace 3" << "1,3" << "1,2" << 1 << "";
        QTest::newRow("delete a middle row") << "add 1;add 104;add 500;click 1;delete" << "1,500" << "1,2" << 1 << "";
        QTest::newRow("delete the last row") << "add 1;add 104;delete" << "1" << "1" << -1 << "";
        QTest::newRow("delete, then nothing current") << "add 1;delete;delete" << "" << "" << -1 << none;
        QTest::newRow("up on the first row") << "add 1;add 104;click 0;up" << "1,104" << "1,2" << 0
                                             << "已上移至表头，无法继续上移";
        QTest::newRow("down on the last row") << "add 1;add 104;down" << "1,104" << "1,2" << 1
                                              << "已下移至表尾，无法继续下移";
        QTest::newRow("move up") << "add 1;add 104;add 500;up" << "1,500,104" << "1,2,3" << 1 << "";
        QTest::newRow("move down") << "add 1;add 104;add 500;click 0;down" << "104,1,500" << "1,2,3" << 1 << "";
        QTest::newRow("clear, no") << "add 1;clear no" << "1" << "1" << 0 << "";
        QTest::newRow("clear, yes") << "add 1;add 5;clear yes" << "" << "" << -1 << "";
        QTest::newRow("click below the rows") << "add 1;click 9" << "1" << "1" << -1 << "";
    }
    void editing() {
        QFETCH(QString, ops);
        QFETCH(QString, commands);
        QFETCH(QString, numbers);
        QFETCH(int, current);
        QFETCH(QString, messages);
        Rig rig;
        for (const QString &op : ops.split(';')) rig.Apply(op);
        QCOMPARE(rig.Commands(), commands);
        QCOMPARE(rig.Column(CLV::kNumberColumn), numbers);
        QCOMPARE(rig.editor.current_row(), current);
        QCOMPARE(rig.Messages(), messages);
        if (current >= 0) QCOMPARE(rig.view->SelectedRow(), current);
        // Every row shows its record.
        for (int r = 0; r < rig.view->rowCount(); ++r) {
            const S_CmdParam &c = rig.editor.commands()[static_cast<std::size_t>(r)];
            QCOMPARE(rig.view->CellText(r, CLV::kCommandColumn), QString::fromStdString(ATCmdDisplayName(c.command)));
        }
        for (const auto &line : rig.sink.lines) QVERIFY(line.colour == run::kColourError);
    }

    void a_new_row_has_defaults_and_its_placeholder() {
        Rig rig;
        rig.Apply("add 500");
        rig.Apply("add 100");
        QCOMPARE(rig.Column(CLV::kParameterColumn), QStringLiteral("鼠标双击设置或修改参数,无"));
        const S_CmdParam &sleep = rig.editor.commands()[0];
        QCOMPARE(sleep.timeout, 500);
        QCOMPARE(sleep.reset_type, 3u);
        QCOMPARE(sleep.baudrate, 115200);
    }

    void summaries_move_with_their_rows() {
        Rig rig;
        rig.Apply("add 104");
        rig.Apply("add 500");
        // Set row 0's parameters through the dialog.
        const QPointer<QTimer> watcher = OnNextModal([](QWidget *modal) {
            Control<QLineEdit>(modal, dialogs::ParamDialog::kAddress)->setText("20");
            QTest::mouseClick(Control<QPushButton>(modal, dialogs::ParamDialog::kOk), Qt::LeftButton);
        });
        rig.DoubleClick(0, CLV::kParameterColumn);
        Cancel(watcher);
        QCOMPARE(rig.Column(CLV::kParameterColumn), QStringLiteral("0x20, 0x0,鼠标双击设置或修改参数"));
        QCOMPARE(rig.editor.commands()[0].address, 0x20u);
        rig.Apply("click 0");
        rig.Apply("down");
        QCOMPARE(rig.Column(CLV::kParameterColumn), QStringLiteral("鼠标双击设置或修改参数,0x20, 0x0"));
        QCOMPARE(rig.editor.current_row(), 1);
    }

    void double_clicks() {
        QTemporaryDir dir;
        const QString before = QDir::currentPath();
        QDir::setCurrent(dir.path());
        Rig rig;
        rig.Apply("add 100");
        rig.Apply("add 5");
        rig.Apply("add 1");

        // "无" opens nothing; the row becomes current all the same.
        bool opened = false;
        QPointer<QTimer> watcher = OnNextModal([&opened](QWidget *modal) {
            opened = true;
            static_cast<QDialog *>(modal)->reject();
        });
        rig.DoubleClick(0, CLV::kParameterColumn);
        QTest::qWait(50);
        Cancel(watcher);
        QVERIFY(!opened);
        QCOMPARE(rig.editor.current_row(), 0);
        rig.DoubleClick(2, CLV::kNumberColumn);
        QCOMPARE(rig.editor.current_row(), 2);

        // The writer configuration row opens its own dialog; OK names the file it wrote.
        watcher = OnNextModal([](QWidget *modal) {
            QVERIFY(qobject_cast<dialogs::WriterConfigDialog *>(modal) != nullptr);
            QTest::mouseClick(Control<QPushButton>(modal, dialogs::WriterConfigDialog::kOk), Qt::LeftButton);
        });
        rig.DoubleClick(1, CLV::kParameterColumn);
        Cancel(watcher);
        QCOMPARE(rig.view->CellText(1, CLV::kParameterColumn), QStringLiteral("writer_cfg.json"));
        QCOMPARE(QString::fromUtf8(CmdText(rig.editor.commands()[1].file).data()), QStringLiteral("writer_cfg.json"));
        QVERIFY(QFile::exists(dir.filePath("writer_cfg.json")));

        // The command cell replaces the command.
        rig.Choosing(3, [&rig] { rig.DoubleClick(0, CLV::kCommandColumn); });
        QCOMPARE(rig.Commands(), QStringLiteral("3,5,1"));
        QCOMPARE(rig.editor.current_row(), 0);
        QDir::setCurrent(before);
    }

    void the_highlighted_row_is_the_current_row() {
        Rig rig;
        rig.Apply("add 1");
        rig.Apply("add 104");
        rig.Apply("add 500");
        // A refused run shows its row: the buttons then act on that row.
        rig.editor.SelectRow(0);
        QCOMPARE(rig.editor.current_row(), 0);
        rig.editor.Delete();
        QCOMPARE(rig.Commands(), QStringLiteral("104,500"));
        QCOMPARE(rig.view->SelectedRow(), rig.editor.current_row());

        // A right click makes its row current before the menu opens; the menu's delete takes it.
        rig.Apply("add 3");
        rig.Apply("click 0");
        QTest::mouseClick(rig.view->viewport(), Qt::RightButton, {}, rig.CellCentre(1, 1));
        QCOMPARE(rig.editor.current_row(), 1);
        QCOMPARE(rig.view->SelectedRow(), 1);
        QString seen;
        const QPointer<QTimer> watcher = OnNextPopup([&seen](QMenu *menu) {
            for (QAction *action : menu->actions()) {
                seen += action->text() + ",";
                if (action->text() == QStringLiteral("删除AT命令")) action->trigger();
            }
            menu->close();
        });
        const QPoint at = rig.CellCentre(1, 1);
        QContextMenuEvent menu_event(QContextMenuEvent::Mouse, at, rig.view->viewport()->mapToGlobal(at));
        QApplication::sendEvent(rig.view->viewport(), &menu_event);
        Cancel(watcher);
        QCOMPARE(seen, QStringLiteral("添加AT命令,插入AT命令,删除AT命令,命令上移,命令下移,"));
        QCOMPARE(rig.Commands(), QStringLiteral("104,3"));
        QCOMPARE(rig.view->SelectedRow(), rig.editor.current_row());

        // Ctrl on a click does not take the highlight away from the current row.
        QTest::mouseClick(rig.view->viewport(), Qt::LeftButton, Qt::ControlModifier, rig.CellCentre(0, 1));
        QTest::mouseClick(rig.view->viewport(), Qt::LeftButton, Qt::ControlModifier, rig.CellCentre(0, 1));
        QCOMPARE(rig.editor.current_row(), 0);
        QCOMPARE(rig.view->SelectedRow(), 0);
    }

    void each_configuration_row_keeps_its_own_file() {
        QTemporaryDir dir;
        const QString before = QDir::currentPath();
        QDir::setCurrent(dir.path());
        QDir(dir.path()).mkpath("scripts");
        const QString scripts = dir.filePath("scripts");
        Rig rig;
        rig.editor.set_config_folder([scripts] { return scripts; });
        rig.Apply("add 5");
        rig.Apply("add 5");
        const auto press_ok = [&rig](int row, bool buzzer) {
            QString title;
            const QPointer<QTimer> watcher = OnNextModal([buzzer, &title](QWidget *modal) {
                title = modal->windowTitle();
                Control<QCheckBox>(modal, dialogs::WriterConfigDialog::kBuzzer)->setChecked(buzzer);
                QTest::mouseClick(Control<QPushButton>(modal, dialogs::WriterConfigDialog::kOk), Qt::LeftButton);
            });
            rig.DoubleClick(row, CLV::kParameterColumn);
            Cancel(watcher);
            return title;
        };
        const auto file_of = [&rig](int row) {
            return QString::fromUtf8(CmdText(rig.editor.commands()[static_cast<std::size_t>(row)].file).data());
        };
        const QString first = scripts + "/writer_cfg.json";
        const QString second = scripts + "/writer_cfg_2.json";
        QVERIFY(press_ok(0, true).endsWith(first));  // the dialog shows where it writes
        press_ok(1, false);
        QCOMPARE(file_of(0), first);
        QCOMPARE(file_of(1), second);
        QCOMPARE(rig.view->CellText(0, CLV::kParameterColumn), first);
        QCOMPARE(rig.view->CellText(1, CLV::kParameterColumn), second);
        QVERIFY(rig.Messages().contains(QStringLiteral("KV配置已保存：") + second));
        QVERIFY(ReadFile(first).contains("\"buzzer\": true"));
        QVERIFY(ReadFile(second).contains("\"buzzer\": false"));
        QVERIFY(!QFile::exists(dir.filePath("writer_cfg.json")));

        // Editing the first row again rewrites its own file only.
        press_ok(0, false);
        QCOMPARE(file_of(0), first);
        QVERIFY(ReadFile(first).contains("\"buzzer\": false"));

        // A file the user named is read, not overwritten: the row gets a file of its own.
        const QString golden = dir.filePath("golden.json");
        QFile::copy(first, golden);
        const QByteArray golden_bytes = ReadFile(golden);
        SetCmdText(rig.editor.commands()[1].file, golden.toStdString());
        press_ok(1, true);
        QCOMPARE(ReadFile(golden), golden_bytes);
        QCOMPARE(file_of(1), scripts + "/writer_cfg_3.json");  // _2 is still on disk
        QDir::setCurrent(before);
    }

    void the_columns_fit_the_view() {
        Rig rig;
        // The template's list: 277 x 73 dialog units at 7 x 14 base units.
        rig.view->setGeometry(0, 0, 485, 128);
        for (int i = 0; i < 8; ++i) rig.Apply("add 104");
        QTRY_VERIFY(!rig.view->verticalScrollBar()->isHidden());
        const QPointer<QTimer> watcher = OnNextModal([](QWidget *modal) { static_cast<QDialog *>(modal)->reject(); });
        rig.DoubleClick(6, CLV::kParameterColumn);
        Cancel(watcher);
        QCoreApplication::processEvents();
        QHeaderView *header = rig.view->horizontalHeader();
        QCOMPARE(rig.view->horizontalScrollBar()->value(), 0);
        QCOMPARE(header->offset(), 0);
        QVERIFY(header->length() <= rig.view->viewport()->width());
        QVERIFY(header->sectionSize(CLV::kNumberColumn) >= QFontMetrics(header->font()).horizontalAdvance("序号"));
        QVERIFY(header->sectionSize(CLV::kParameterColumn) > header->sectionSize(CLV::kCommandColumn));
    }

    void the_keys_move_the_current_row_and_enter_edits_it() {
        Rig rig;
        rig.Apply("add 104");
        rig.Apply("add 500");
        rig.view->setFocus();
        QTest::keyClick(rig.view, Qt::Key_Up);
        QCOMPARE(rig.editor.current_row(), 0);
        QString opened;
        const QPointer<QTimer> watcher = OnNextModal([&opened](QWidget *modal) {
            opened = modal->metaObject()->className();
            static_cast<QDialog *>(modal)->reject();
        });
        QTest::keyClick(rig.view, Qt::Key_Return);
        Cancel(watcher);
        QCOMPARE(opened, QStringLiteral("kelvra::gui::dialogs::ParamDialog"));
        QCOMPARE(rig.editor.current_row(), 0);
    }

    void summaries_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("fields");  // name=value pairs
        QTest::addColumn<QString>("summary");  // "-": the cell is left alone
        QTest::newRow("broadcast, nothing set") << 400 << "" << "USB to UART, ";
        QTest::newRow("broadcast with response") << 400 << "rsp=1 dir=1 file=a.txt" << "广播带RSP, UART to USB, a.txt";
        QTest::newRow("reset 9") << 114 << "type=9" << "不支持的复位类型";
        QTest::newRow("reset 3") << 114 << "type=3" << "nRST硬件复位与软件内核复位(默认)";
        QTest::newRow("switch, fresh") << 207 << "mode=1 file=p.pkg" << "全新加载->p.pkg";
        QTest::newRow("switch, resume") << 207 << "mode=0 file=p.pkg" << "恢复进度->p.pkg";
        QTest::newRow("erase sectors") << 107 << "addr=256 size=2048 t=5000" << "0x100, 0x800, 5000";
        QTest::newRow("write") << 109 << "addr=134217728 file=app.hex" << "0x8000000, app.hex";
        QTest::newRow("read") << 104 << "" << "0x0, 0x0";
        QTest::newRow("baud rate") << 6 << "" << "115200";
        QTest::newRow("sleep") << 500 << "" << "500";
        QTest::newRow("configuration") << 5 << "file=cfg.json" << "cfg.json";
        QTest::newRow("writer info") << 1 << "" << "-";
    }
    void summaries() {
        QFETCH(int, command);
        QFETCH(QString, fields);
        QFETCH(QString, summary);
        S_CmdParam r = NewCmdParam(command);
        for (const QString &pair : fields.split(' ', Qt::SkipEmptyParts)) {
            const QString name = pair.section('=', 0, 0), value = pair.section('=', 1);
            if (name == "rsp") r.bcst_with_rsp = value.toInt();
            if (name == "dir") r.direction = value.toInt();
            if (name == "file") SetCmdText(r.file, value.toStdString());
            if (name == "type") r.reset_type = value.toUInt();
            if (name == "mode") r.mode = value.toInt();
            if (name == "addr") r.address = value.toUInt();
            if (name == "size") r.size = value.toUInt();
            if (name == "t") r.timeout = value.toInt();
        }
        QCOMPARE(windows::ParameterSummary(r).value_or("-"), summary);
    }

    // A command of the command table has a placeholder to double-click and a summary exactly
    // when it takes parameters; an id outside the table has neither.
    void parameters_follow_the_command_table() {
        for (const CommandInfo &command : kCommands) {
            const bool takes = !command.params.empty();
            QVERIFY2(windows::HasParameters(command.id) == takes, command.name.data());
            QVERIFY2(windows::ParameterSummary(NewCmdParam(command.id)).has_value() == takes, command.name.data());
        }
        for (const std::int32_t id : {0, 2, -1}) {
            QVERIFY(!windows::HasParameters(id));
            QVERIFY(!windows::ParameterSummary(NewCmdParam(id)).has_value());
        }
    }
};

KELVRA_GUI_SUITE("editor", EditorTest);

}  // namespace kelvra::gui::test

#include "editor_test.moc"
