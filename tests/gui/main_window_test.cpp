// The main window on virtual writers: start-up with its settings and script, the scan with
// its wait window, a run in which one writer fails, a writer unplugged during a scan and
// during a run, closing during a run, a refused row, and the folder and link openers.
#include "gui/app/close_on_signals.h"
#include "gui/app/shell.h"
#include "gui/dialogs/wait_dialog.h"
#include "gui/widgets/log_view.h"
#include "gui/widgets/port_panel.h"
#include "gui/windows/main_window.h"
#include "gui_test_support.h"
#include "host/model/at_command.h"
#include "sim/pty_writer.h"

#if KELVRA_WITH_RECORDS
#include <atomic>
#include <set>
#include <thread>

#include <sqlite3.h>

#include "host/records/collector.h"
#include "host/records/mqtt_url.h"
#include "host/records/unit_db.h"
#include "tests/host/records/broker.h"
#endif
#include <nlohmann/json.hpp>

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <functional>

#include <signal.h>
#include <unistd.h>
#include <optional>

namespace kelvra::gui::test {
namespace {

using W = windows::MainWindow;
using run::StatusPicture;

constexpr int kRunTimeoutMs = 30000;

QByteArray ReadAll(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) file.write(bytes);
}

// Records every change of a widget's enabled state.
class EnabledLog : public QObject {
public:
    explicit EnabledLog(QWidget *w) : widget_(w) { w->installEventFilter(this); }
    QString states() const { return states_.join(','); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (watched == widget_ && event->type() == QEvent::EnabledChange) states_ << (widget_->isEnabled() ? "on" : "off");
        return false;
    }

private:
    QWidget *widget_;
    QStringList states_;
};

struct Pool {
    std::size_t writers = 0;
    sim::FaultSettings faults;
    std::optional<std::size_t> fault_writer;
};

struct Rig {
    // `prepare` sees the program folder before the window exists.
    explicit Rig(std::vector<Pool> pools = {}, unsigned linger_ms = 50, const QByteArray &config = QByteArray(),
                 QString (*font_warning)() = nullptr, const std::function<void(const QString &)> &prepare = {}) {
        QDir(dir.path()).mkpath("sys");
        QDir(dir.path()).mkpath("program");
        if (prepare) prepare(program());
        windows::MainWindowOptions options;
        int n = 0;
        for (const Pool &p : pools) {
            sim::VirtualWriterPool::Options o;
            o.count = p.writers;
            o.link_dir = dir.filePath(QStringLiteral("links%1").arg(n++)).toStdString();
            o.faults = p.faults;
            o.fault_writer = p.fault_writer;
            writers.push_back(std::make_unique<sim::VirtualWriterPool>(o));
            for (std::size_t i = 0; i < writers.back()->size(); ++i) {
                options.explicit_ports.push_back(writers.back()->link(i).string());
            }
        }
        options.program_dir = program().toStdString();
        options.config_path = config_path().toStdString();
        options.sysfs_root = dir.filePath("sys").toStdString();
        options.scan_linger_ms = linger_ms;
        options.font_warning = font_warning;
        if (!config.isNull()) WriteAll(config_path(), config);
        window = std::make_unique<W>(options);
        window->show();
        QCoreApplication::processEvents();
    }
    ~Rig() {
        window.reset();
        writers.clear();
    }
    QString program() const { return dir.filePath("program"); }
    QString config_path() const { return dir.filePath("program/config.json"); }
    template <typename T = QWidget>
    T *control(int id) const {
        return static_cast<T *>(window->control(id));
    }
    void click(int id) { QTest::mouseClick(control(id), Qt::LeftButton); }
    void Scan() {
        click(W::kScan);
        QVERIFY(!window->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(window->isEnabled() && !window->scanning(), 15000);
    }
    // The log's texts without their time stamps.
    QStringList Log() const {
        QStringList out;
        for (const QString &line : window->log_view()->Lines()) out << line.mid(9);
        return out;
    }
    int Count(const QString &text) const { return static_cast<int>(Log().count(text)); }
    void SetList(const std::vector<S_CmdParam> &list) {
        window->editor().commands() = list;
        window->editor().RefreshCommandList();
    }
    // Scans, runs `list` on every writer found and waits for the run's end.
    void ScanAndRun(const std::vector<S_CmdParam> &list) {
        Scan();
        SetList(list);
        QSignalSpy finished(window.get(), &W::RunFinished);
        click(W::kRun);
        QTRY_VERIFY_WITH_TIMEOUT(finished.count() == 1, kRunTimeoutMs);
    }
    nlohmann::json RunLog() const {
        const QStringList files = QDir(program() + "/log").entryList({"*.json"}, QDir::Files, QDir::Name);
        if (files.isEmpty()) return nullptr;
        return nlohmann::json::parse(ReadAll(program() + "/log/" + files.back()).toStdString(), nullptr, false);
    }

    QTemporaryDir dir;
    std::vector<std::unique_ptr<sim::VirtualWriterPool>> writers;
    std::unique_ptr<W> window;
};

// Runs `step`; answers the message box it opens with `button`. Returns "caption|text".
QString Answer(QMessageBox::StandardButton button, const std::function<void()> &step) {
    QString seen;
    const QPointer<QTimer> watcher = OnNextModal([button, &seen](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (box == nullptr) return;
        seen = box->windowTitle() + "|" + box->text();
        box->button(button)->click();
    });
    step();
    if (!QTest::qWaitFor([&watcher] { return watcher.isNull(); }, 10000)) return QStringLiteral("no box");
    return seen;
}

S_CmdParam Sleep(int ms) {
    S_CmdParam c = NewCmdParam(ATCmdSleep);
    c.timeout = ms;
    return c;
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { app::SetShellOpener({}); }

    void start_up_reloads_the_last_script_and_saves_the_settings() {
        QTemporaryDir jobs;
        const QString script = jobs.filePath("线体.kvatscript");
        WriteAll(script, "-info\n\n-cid extra\n-bogus\n-connect\n");
        const QByteArray config = QStringLiteral(R"({"cover-file": false, "cur_file_path": "%1", "print-info": true})")
                                      .arg(script)
                                      .toUtf8();
        Rig rig({}, 50, config);
        QCOMPARE(rig.window->windowTitle(), QStringLiteral("Kelvra ATCmd Terminal"));
        QTRY_COMPARE(rig.Log().size(), 6);
        QCOMPARE(rig.Log(), (QStringList{
                                "在开始之前,先连接Kelvra，扫描Kelvra，然后设置指令，执行指令",
                                "勾选“打印获取信息”将把“获取命令”获取到的信息输出到界面，否则不输出",
                                "勾选“覆盖文件”将在文件夹“A-COM(x)”中生成文件，否则将在文件夹“COM(x)-日期”中生成文件",
                                QStringLiteral("帮助文档：") + windows::kHelpAddress,
                                "第4行命令出错，停止命令脚本文件解析，错误信息：command not found",
                                "Row 2: There are redundant parameters:'extra'. Did you forget to add '-'",
                            }));
        // The rows before the stopping line are in the list.
        QCOMPARE(rig.window->editor().commands().size(), std::size_t{2});
        QCOMPARE(rig.window->editor().commands()[1].command, std::int32_t{ATCmdGetTargetChipID});
        QVERIFY(rig.control<QCheckBox>(W::kPrintInfo)->isChecked());
        QVERIFY(!rig.control<QCheckBox>(W::kCoverFile)->isChecked());
        QVERIFY(!rig.control(W::kRun)->isEnabled());
        QVERIFY(rig.control(W::kAdd)->isEnabled());
        QVERIFY(rig.control(W::kReplace)->isHidden());

        rig.click(W::kPrintInfo);
        QVERIFY(!rig.window->session().print_info());
        rig.window.reset();
        QCOMPARE(ReadAll(rig.config_path()), QStringLiteral("{\n    \"cover-file\": false,\n    \"cur_file_path\": \"%1\",\n"
                                                            "    \"print-info\": false\n}\n")
                                                 .arg(script)
                                                 .toUtf8());
    }

    void the_engines_english_lines_show_in_chinese_data() {
        QTest::addColumn<QString>("engine");
        QTest::addColumn<QString>("shown");
        QTest::newRow("stop") << "Run stopped: ports ended after their current command"
                              << "执行已停止：各端口执行完当前命令后结束";
        QTest::newRow("left out") << "3 serial port(s) left out: a scan opens at most 24 writers (first left out: ttyUSB30)"
                                  << "3个串口未打开：一次扫描最多打开24个Kelvra（第一个未打开的：ttyUSB30）";
        QTest::newRow("cannot save") << "cannot save /x/log/a.json: Permission denied"
                                     << "无法保存：/x/log/a.json: Permission denied";
        QTest::newRow("others as they are") << "ttyKV0 第1条AT命令执行成功！" << "ttyKV0 第1条AT命令执行成功！";
        QTest::newRow("printed block") << ">ttyKV0 print info" << ">ttyKV0 print info";
    }
    void the_engines_english_lines_show_in_chinese() {
        QFETCH(QString, engine);
        QFETCH(QString, shown);
        Rig rig;
        rig.window->session().log().LogLevelLine(run::LogWarning, engine.toStdString());
        QTRY_COMPARE(rig.Log().isEmpty() ? QString() : rig.Log().back(), shown);
    }

    void a_missing_font_is_said_at_start() {
        Rig rig({}, 50, QByteArray(), [] { return QStringLiteral("No installed font shows Chinese"); });
        QTRY_VERIFY(rig.Log().contains("No installed font shows Chinese"));
        Rig fine;
        QTRY_VERIFY(fine.Log().size() >= 4);
        QCOMPARE(fine.Log().size(), 4);  // the four start-up lines, nothing more
    }

    void print_info_1_alone() {
        Rig rig({}, 50, R"({"print-info": 1})");
        QTRY_COMPARE(rig.Log().size(), 4);
        QVERIFY(rig.control<QCheckBox>(W::kPrintInfo)->isChecked());
        QVERIFY(rig.control<QCheckBox>(W::kCoverFile)->isChecked());
        QVERIFY(rig.window->editor().commands().empty());
        QVERIFY(rig.window->settings().script_path.empty());
    }

    void the_help_link_and_the_result_folder_open_with_the_shell() {
        Rig rig;
        QList<QUrl> opened;
        app::SetShellOpener([&opened](const QUrl &url) { opened << url; });
        QTRY_COMPARE(rig.Log().size(), 4);
        QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
        widgets::LogView *log = rig.window->log_view();
        const QTextBlock help = log->document()->findBlockByNumber(3);
        QTextCursor on_link(help);
        on_link.setPosition(help.position() + static_cast<int>(help.text().indexOf("https")) + 4);
        QTest::mouseClick(log->viewport(), Qt::LeftButton, {}, log->cursorRect(on_link).center());
        QTextCursor elsewhere(log->document()->findBlockByNumber(0));
        QTest::mouseClick(log->viewport(), Qt::LeftButton, {}, log->cursorRect(elsewhere).center());
        QCOMPARE(opened, QList<QUrl>{QUrl(windows::kHelpAddress)});

        // No result folder yet: an error box instead.
        QString box;
        QPointer<QTimer> watcher = OnNextModal([&box](QWidget *modal) {
            auto *m = static_cast<QMessageBox *>(modal);
            box = m->windowTitle() + "|" + m->text();
            m->accept();
        });
        rig.click(W::kViewFiles);
        Cancel(watcher);
        QCOMPARE(box, QStringLiteral("错误|没有找到文件夹"));
        QDir(rig.program()).mkpath("InfoFile");
        rig.click(W::kViewFiles);
        QCOMPARE(opened.size(), 2);
        QCOMPARE(opened[1].toLocalFile(), rig.program() + "/InfoFile/");
    }

    void a_refused_row_is_shown_and_nothing_runs() {
        Rig rig;
        S_CmdParam baud = NewCmdParam(ATCmdSetBaudRate);
        baud.baudrate = 0;
        rig.SetList({NewCmdParam(ATCmdGetWriterInfo), NewCmdParam(ATCmdConnectTarget), baud});
        QString box;
        int selected = -2;
        QPointer<QTimer> watcher = OnNextModal([&](QWidget *modal) {
            auto *m = static_cast<QMessageBox *>(modal);
            // The row is selected while the box is up.
            QTRY_COMPARE(rig.window->findChild<widgets::CommandListView *>()->SelectedRow(), 2);
            selected = 2;
            box = m->windowTitle() + "|" + m->text();
            m->accept();
        });
        rig.window->Run();
        Cancel(watcher);
        QCOMPARE(box, QStringLiteral("错误|第3条命令baudrate <= 0，无法执行AT命令"));
        QCOMPARE(selected, 2);
        QVERIFY(!QDir(rig.program() + "/InfoFile").exists());
        QVERIFY(rig.control(W::kAdd)->isEnabled());
    }

    void scan_and_run_with_one_failing_writer() {
        Pool pool;
        pool.writers = 3;
        pool.faults.nack = 10;     // "Target erase failed..."
        pool.faults.code = 106;    // only the erase
        pool.fault_writer = 1;
        Rig rig({pool}, 510);

        rig.click(W::kScan);
        QVERIFY(!rig.window->isEnabled());
        QTRY_VERIFY(rig.window->wait_dialog() != nullptr && rig.window->wait_dialog()->isVisible());
        dialogs::WaitDialog *wait = rig.window->wait_dialog();
        QCOMPARE(wait->pos(), dialogs::CentredTopLeft(rig.window->frameGeometry(), wait->frameGeometry().size()));
        QVERIFY(wait->isEnabled());
        QTRY_COMPARE(QApplication::activeWindow(), static_cast<QWidget *>(wait));  // Esc reaches it at once
        QTRY_VERIFY_WITH_TIMEOUT(rig.window->isEnabled() && !rig.window->scanning(), 15000);
        QVERIFY(rig.window->wait_dialog() == nullptr || !rig.window->wait_dialog()->isVisible());
        widgets::PortPanel *panel = rig.window->port_panel();
        QCOMPARE(panel->cell_count(), 3);
        for (int k = 0; k < 3; ++k) QCOMPARE(panel->label(k)->text(), QStringLiteral("ttyKV%1").arg(k));
        QCOMPARE(rig.Count("扫描完成"), 1);
        QVERIFY(rig.control(W::kRun)->isEnabled());

        rig.SetList({NewCmdParam(ATCmdGetWriterInfo), NewCmdParam(ATCmdConnectTarget), NewCmdParam(ATCmdEraseTarget),
                     NewCmdParam(ATCmdGetTargetChipID)});
        EnabledLog add_states(rig.control(W::kAdd));
        EnabledLog run_states(rig.control(W::kRun));
        QSignalSpy finished(rig.window.get(), &W::RunFinished);
        rig.click(W::kRun);
        QTRY_VERIFY_WITH_TIMEOUT(finished.count() == 1, kRunTimeoutMs);
        QCoreApplication::processEvents();

        const std::optional<StatusPicture> expected[] = {StatusPicture::Succeed, StatusPicture::Failed, StatusPicture::Succeed};
        const std::uint32_t colours[] = {0x00CD00, 0x0000FF, 0x00CD00};
        const int positions[] = {100, 75, 100};
        for (int k = 0; k < 3; ++k) {
            QCOMPARE(panel->picture_state(k), expected[k]);
            QCOMPARE(panel->bar(k)->bar_colour(), colours[k]);
            QCOMPARE(panel->bar(k)->position(), positions[k]);
        }
        const QStringList log = rig.Log();
        QVERIFY(log.contains("AT命令开始执行"));
        QVERIFY(log.contains("ttyKV1 执行第3条命令：ATCmdEraseTarget 出错，错误信息： Target erase failed..."));
        QVERIFY(log.contains("ttyKV0 第4条AT命令执行成功！"));
        QVERIFY(log.contains("ttyKV2 第4条AT命令执行成功！"));
        QVERIFY(!log.contains("ttyKV1 第3条AT命令执行成功！"));
        QCOMPARE(rig.Count("所有指令执行完成"), 1);
        QCOMPARE(log.indexOf("所有指令执行完成"), log.size() - 2);  // then one empty line
        QCOMPARE(log.back(), QString());

        const nlohmann::json run_log = rig.RunLog();
        QVERIFY(run_log.is_object());
        QCOMPARE(run_log["ttyKV0"]["-result"].get<bool>(), true);
        QCOMPARE(run_log["ttyKV0"]["final step"].get<int>(), 4);
        QCOMPARE(run_log["ttyKV0"]["logs"]["succeed instruct"].size(), std::size_t{4});
        QCOMPARE(run_log["ttyKV1"]["-result"].get<bool>(), false);
        QCOMPARE(run_log["ttyKV1"]["-total step"].get<int>(), 4);
        QCOMPARE(run_log["ttyKV1"]["final step"].get<int>(), 3);
        QCOMPARE(run_log["ttyKV1"]["logs"]["failed instruct"]["line num"].get<int>(), 3);
        QCOMPARE(run_log["ttyKV1"]["logs"]["failed instruct"]["err msg"].get<std::string>(), " Target erase failed...");
        QCOMPARE(run_log["ttyKV1"]["logs"]["succeed instruct"].size(), std::size_t{2});
        QVERIFY(QFile::exists(rig.program() + "/InfoFile/A-ttyKV2/chip_id.txt"));
#if KELVRA_WITH_RECORDS
        // The station's unit database in the log folder holds each unit as it ended.
        const auto units = [&] {
            try {
                auto db = records::UnitDb::Open((rig.program() + "/log/units.db").toStdString(), true);
                return db->Units({});
            } catch (const records::DbError &) {
                return std::vector<records::UnitRow>{};
            }
        };
        QTRY_COMPARE(units().size(), std::size_t{3});
        for (const records::UnitRow &unit : units()) {
            QCOMPARE(unit.result == 0, unit.port != "ttyKV1");
            QCOMPARE(unit.writer_serial.empty(), false);
        }
#endif

        // Editing controls went off for the run and came back; the run button likewise.
        QCOMPARE(add_states.states(), QStringLiteral("off,on"));
        QCOMPARE(run_states.states(), QStringLiteral("off,on"));
        for (const int id : {W::kAdd, W::kScan, W::kCloseAll, W::kExport, W::kLoad, W::kPrintInfo, W::kCoverFile,
                             W::kViewFiles, W::kList, W::kRun, W::kDebugMode}) {
            QVERIFY2(rig.control(id)->isEnabled(), qPrintable(QString::number(id)));
        }

        // "断开端口连接": every cell disconnected, the run button off.
        rig.click(W::kCloseAll);
        QTRY_COMPARE(panel->picture_state(2), std::optional<StatusPicture>(StatusPicture::Disconnect));
        QVERIFY(rig.Log().contains("全部端口断开连接！！！"));
        QTRY_VERIFY(!rig.control(W::kRun)->isEnabled());
    }

    void writers_unplugged_during_a_scan_and_during_a_run() {
        Pool run_pool;
        run_pool.writers = 2;
        run_pool.faults.disappear_after = 3;  // the probe and two requests, then gone
        run_pool.fault_writer = 1;
        Pool scan_pool;
        scan_pool.writers = 1;
        scan_pool.faults.disappear_after = 0;  // gone at the scan's probe
        Rig rig({run_pool, scan_pool});
        rig.Scan();
        QCOMPARE(rig.window->port_panel()->cell_count(), 2);

        rig.SetList({NewCmdParam(ATCmdGetWriterInfo), Sleep(100), NewCmdParam(ATCmdGetWriterInfo),
                     NewCmdParam(ATCmdGetWriterInfo)});
        QSignalSpy finished(rig.window.get(), &W::RunFinished);
        rig.click(W::kRun);
        QTRY_VERIFY_WITH_TIMEOUT(finished.count() == 1, kRunTimeoutMs);
        QCoreApplication::processEvents();
        widgets::PortPanel *panel = rig.window->port_panel();
        QCOMPARE(panel->label(1)->text(), QStringLiteral("ttyKV1已断开"));
        // Whichever the writer's thread and the line's thread report last: its failed step or its loss.
        const auto lost = panel->picture_state(1);
        QVERIFY(lost == StatusPicture::Failed || lost == StatusPicture::Disconnect);
        QCOMPARE(panel->bar(1)->bar_colour(), std::uint32_t{0x0000FF});
        QCOMPARE(panel->picture_state(0), std::optional<StatusPicture>(StatusPicture::Succeed));
        QCOMPARE(rig.Count("ttyKV1已断开"), 1);
        QCOMPARE(rig.Count("所有指令执行完成"), 1);
        QCOMPARE(rig.window->session().writer_count(), 1);
        QVERIFY(rig.control(W::kRun)->isEnabled());
        QVERIFY(rig.control(W::kAdd)->isEnabled());
    }

    void closing_during_a_run_asks_then_lets_the_ports_finish() {
        Pool pool;
        pool.writers = 2;
        Rig rig({pool});
        rig.Scan();
        rig.SetList(std::vector<S_CmdParam>(8, Sleep(150)));
        rig.window->SaveScriptFile(rig.dir.filePath("sleeps.kvatscript"));  // nothing to offer at exit
        rig.click(W::kRun);
        QTRY_VERIFY_WITH_TIMEOUT(rig.Log().contains("ttyKV0 第1条AT命令执行成功！"), kRunTimeoutMs);

        // No: the run goes on.
        QString asked = Answer(QMessageBox::No, [&rig] { QTest::keyClick(rig.window.get(), Qt::Key_Escape); });
        QCOMPARE(asked, QStringLiteral("提示|AT命令正在执行，确定要停止并退出吗？"));
        QTest::qWait(200);
        QVERIFY(rig.window->isVisible());
        QVERIFY(rig.window->session().running());
        QVERIFY(!rig.Log().contains("正在关闭：等待各端口完成当前命令……"));

        // Yes, from the close box: every port finishes its current command, then the window closes.
        asked = Answer(QMessageBox::Yes, [&rig] { rig.window->close(); });
        QCOMPARE(asked, QStringLiteral("提示|AT命令正在执行，确定要停止并退出吗？"));
        QTRY_VERIFY_WITH_TIMEOUT(!rig.window->isVisible(), kRunTimeoutMs);
        QVERIFY(rig.Log().contains("正在关闭：等待各端口完成当前命令……"));
        QVERIFY(rig.Log().contains("执行已停止：各端口执行完当前命令后结束"));
        QVERIFY(!rig.window->session().running());

        // The run log is a whole document with fewer steps than the list; the ports are marked
        // stopped and the sleep cut short is not among the steps that succeeded.
        const nlohmann::json run_log = rig.RunLog();
        QVERIFY(run_log.is_object());
        for (const char *port : {"ttyKV0", "ttyKV1"}) {
            const int steps = run_log[port]["final step"].get<int>();
            QVERIFY(steps >= 1 && steps < 8);
            QCOMPARE(run_log[port]["-stopped"].get<bool>(), true);
            QCOMPARE(run_log[port]["logs"]["succeed instruct"].size(), static_cast<std::size_t>(steps));
        }
        QVERIFY(QDir(rig.program() + "/log").entryList({"*.part.json"}, QDir::Files).isEmpty());
        rig.window.reset();
        QVERIFY(QFile::exists(rig.config_path()));
    }

    void closing_offers_to_save_a_list_edited_since_the_last_export() {
        Rig rig;
        rig.SetList({NewCmdParam(ATCmdGetWriterInfo)});
        QVERIFY(rig.window->list_modified());
        // Cancel keeps the window open.
        QString asked = Answer(QMessageBox::Cancel, [&rig] { rig.window->reject(); });
        QCOMPARE(asked, QStringLiteral("提示|命令列表已修改，是否导出AT脚本？"));
        QVERIFY(rig.window->isVisible());

        // After an export nothing is asked; an edit asks again, and No closes without saving.
        const QString script = rig.dir.filePath("job.kvatscript");
        rig.window->SaveScriptFile(script);
        QVERIFY(!rig.window->list_modified());
        rig.SetList({NewCmdParam(ATCmdGetWriterInfo), NewCmdParam(ATCmdConnectTarget)});
        QVERIFY(rig.window->list_modified());
        asked = Answer(QMessageBox::No, [&rig] { rig.window->reject(); });
        QCOMPARE(asked, QStringLiteral("提示|命令列表已修改，是否导出AT脚本？"));
        QVERIFY(!rig.window->isVisible());
        QCOMPARE(ReadAll(script), QByteArray("-info\n"));

        // A loaded script is the saved state.
        Rig again;
        again.window->LoadScriptFile(script);
        QVERIFY(!again.window->list_modified());
        again.window->reject();
        QVERIFY(!again.window->isVisible());
    }

    void a_signal_closes_an_open_dialog_and_then_the_window() {
        Rig rig;
        rig.SetList({NewCmdParam(ATCmdSleep)});
        app::CloseOnSignals(*rig.window, [w = rig.window.get()] { w->CloseOnSignal(); });
        bool dialog_was_open = false;
        QPointer<QWidget> dialog;
        const QPointer<QTimer> watcher = OnNextModal([&](QWidget *modal) {
            dialog_was_open = true;
            dialog = modal;
            ::kill(::getpid(), SIGTERM);
        });
        rig.window->editor().OnDoubleClick(0, widgets::CommandListView::kParameterColumn);
        Cancel(watcher);
        QVERIFY(dialog_was_open);
        QTRY_VERIFY(!rig.window->isVisible());
        QVERIFY(dialog.isNull() || !dialog->isVisible());
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGHUP, SIG_DFL);
    }

#if KELVRA_WITH_RECORDS
    // A "mqtt" member that cannot be used is said in the log, nothing is sent, the units are
    // still recorded, and the member is written back as it was.
    void mqtt_settings_that_cannot_be_used_are_said_and_kept_data() {
        QTest::addColumn<QByteArray>("member");
        QTest::addColumn<QString>("said");
        QTest::newRow("not a URL") << QByteArray("\"ftp://broker/plant\"") << "\"mqtt\": \"url\" ftp://broker/plant";
        QTest::newRow("a prefix with +") << QByteArray("{\"url\": \"mqtt://127.0.0.1/plant/+\"}") << "\"mqtt\": \"url\"";
        QTest::newRow("no url") << QByteArray(R"({"station": "line7"})") << "\"mqtt\" has no \"url\"";
        QTest::newRow("a station with /") << QByteArray("{\"url\": \"mqtt://127.0.0.1/p\", \"station\": \"a/b\"}")
                                          << "\"station\"";
        QTest::newRow("mqtts without a CA") << QByteArray("{\"url\": \"mqtts://127.0.0.1/p\"}") << "needs \"mqtt\": \"ca_file\"";
        QTest::newRow("a number") << QByteArray("5") << "must be a URL";
        QTest::newRow("unknown member") << QByteArray("{\"url\": \"mqtt://127.0.0.1/p\", \"pasword\": \"x\"}")
                                        << "unknown member \"pasword\"";
    }
    void mqtt_settings_that_cannot_be_used_are_said_and_kept() {
        QFETCH(QByteArray, member);
        QFETCH(QString, said);
        const QByteArray config = "{\"print-info\": false, \"cover-file\": true, \"mqtt\": " + member + "}";
        const nlohmann::json original = nlohmann::json::parse(member.toStdString());
        Pool pool;
        pool.writers = 1;
        {
            Rig rig({pool}, 50, config);
            const QStringList log = rig.Log();
            const auto line = std::find_if(log.begin(), log.end(),
                                           [](const QString &l) { return l.startsWith("MQTT设置无法使用，单元记录只保存在本机："); });
            QVERIFY2(line != log.end(), qPrintable(log.join('\n')));
            QVERIFY2(line->contains(said), qPrintable(*line));
            rig.ScanAndRun({NewCmdParam(ATCmdGetWriterInfo)});
            rig.window.reset();
            const auto db = records::UnitDb::Open((rig.program() + "/log/units.db").toStdString(), true);
            QCOMPARE(db->Units({}).size(), std::size_t{1});
            const nlohmann::json written = nlohmann::json::parse(ReadAll(rig.config_path()).toStdString());
            QVERIFY2(written.at("mqtt") == original, written.dump().c_str());
        }
    }

    // A unit database that cannot be opened, or that stays locked, is said in the log; the
    // writers are run and reported as before.
    void a_unit_database_that_cannot_be_used_is_said_and_the_run_goes_on_data() {
        QTest::addColumn<bool>("locked");  // else: the database's name is taken by a folder
        QTest::addColumn<QString>("said");
        QTest::newRow("not openable") << false << "单元数据库无法打开，不保存单元记录：";
        QTest::newRow("locked") << true << "单元记录未能保存：";
    }
    void a_unit_database_that_cannot_be_used_is_said_and_the_run_goes_on() {
        QFETCH(bool, locked);
        QFETCH(QString, said);
        Pool pool;
        pool.writers = 1;
        sqlite3 *other = nullptr;
        auto rig = std::make_unique<Rig>(std::vector<Pool>{pool}, 50, QByteArray(), nullptr, [&](const QString &program) {
            if (!locked) QDir().mkpath(program + "/log/units.db");
        });
        if (locked) {
            const QByteArray db = (rig->program() + "/log/units.db").toUtf8();
            QCOMPARE(sqlite3_open(db.constData(), &other), SQLITE_OK);
            QCOMPARE(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
        }
        rig->ScanAndRun({NewCmdParam(ATCmdGetWriterInfo), NewCmdParam(ATCmdConnectTarget)});
        QVERIFY(rig->Log().contains("ttyKV0 第2条AT命令执行成功！"));
        QCOMPARE(rig->window->port_panel()->picture_state(0), std::optional<StatusPicture>(StatusPicture::Succeed));
        const auto lines = [&] {
            const QStringList log = rig->Log();
            return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const QString &l) { return l.startsWith(said); }));
        };
        // Locked: the run's start, the unit and the run's end, each after the database's busy wait.
        QTRY_COMPARE_WITH_TIMEOUT(lines(), locked ? 3 : 1, 20000);
        if (locked) QVERIFY(rig->Log().join('\n').contains("database is locked"));
        if (other != nullptr) {
            sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(other);
        }
        rig.reset();
    }

    // A broker that does not answer costs the run nothing; the records (two units, the run's
    // start and end) wait in the outbox and the log says how many.
    void a_broker_that_is_down_leaves_the_units_in_the_outbox() {
        const int port = records::test::free_port();
        QVERIFY(port != 0);
        const QByteArray config = "{\"print-info\": false, \"cover-file\": true, \"mqtt\": {\"url\": \"mqtt://127.0.0.1:" +
                                  QByteArray::number(port) + "/plant\", \"station\": \"line7\"}}";
        Pool pool;
        pool.writers = 2;
        Rig rig({pool}, 50, config);
        rig.ScanAndRun({NewCmdParam(ATCmdGetWriterInfo), NewCmdParam(ATCmdConnectTarget)});
        QVERIFY(rig.Log().contains("ttyKV0 第2条AT命令执行成功！"));
        const auto said = [&] {
            const QStringList log = rig.Log();
            return std::any_of(log.begin(), log.end(), [](const QString &l) {
                return l.startsWith("MQTT：4 条记录尚未发送（") && l.endsWith("），下次运行时再发送");
            });
        };
        QTRY_VERIFY_WITH_TIMEOUT(said(), 10000);
        const auto db = records::UnitDb::Open((rig.program() + "/log/units.db").toStdString(), true);
        QCOMPARE(db->UnsentCount(), std::size_t{4});
        QCOMPARE(db->Units({}).front().station, std::string("line7"));
    }
#endif
};

KELVRA_GUI_SUITE("main_window", MainWindowTest);

#if KELVRA_WITH_RECORDS
// Against a mosquitto of the test's own; the suite is skipped (exit 77) where none can run.
class MainWindowMqttTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // With a broker in config.json every unit reaches the plant's collector, and the outbox
    // empties once the broker acknowledged them.
    void every_unit_reaches_the_collector() {
        records::test::Broker broker;
        QTemporaryDir plant;
        const std::string plant_db = plant.filePath("plant.db").toStdString();
        records::MqttSettings settings;
        std::string error;
        settings.url = *records::ParseMqttUrl(broker.url("plant"), error);
        settings.client_id = "gui-test-collector";
        settings.clean_session = false;
        std::atomic<bool> stop{false};
        records::Collector collector(settings, plant_db, [](const std::string &) {});
        std::thread collecting([&] { collector.Run(stop); });
        QTRY_VERIFY_WITH_TIMEOUT(collector.connected(), 10000);

        const QByteArray config = "{\"print-info\": false, \"cover-file\": true, \"mqtt\": {\"url\": \"" +
                                  QByteArray::fromStdString(broker.url("plant")) + "\", \"station\": \"line7\"}}";
        Pool pool;
        pool.writers = 3;
        std::vector<records::UnitRow> plant_units;
        {
            Rig rig({pool}, 50, config);
            rig.ScanAndRun({NewCmdParam(ATCmdGetWriterInfo), NewCmdParam(ATCmdConnectTarget)});
            const auto unsent = [&] {
                return records::UnitDb::Open((rig.program() + "/log/units.db").toStdString(), true)->UnsentCount();
            };
            QTRY_COMPARE_WITH_TIMEOUT(unsent(), std::size_t{0}, 15000);
            const auto plant_count = [&] { return records::UnitDb::Open(plant_db, true)->Units({}).size(); };
            QTRY_COMPARE_WITH_TIMEOUT(plant_count(), std::size_t{3}, 15000);
            QVERIFY(!rig.Log().join('\n').contains("MQTT"));
            const auto station = records::UnitDb::Open((rig.program() + "/log/units.db").toStdString(), true)->Units({});
            plant_units = records::UnitDb::Open(plant_db, true)->Units({});
            std::set<std::string> ids, plant_ids;
            for (const auto &unit : station) ids.insert(unit.record_id);
            for (const auto &unit : plant_units) {
                plant_ids.insert(unit.record_id);
                QCOMPARE(unit.station, std::string("line7"));
            }
            QCOMPARE(plant_ids, ids);
        }
        stop = true;
        collecting.join();
    }
};

KELVRA_GUI_SUITE("main_window_mqtt", MainWindowMqttTest);
#endif

}  // namespace kelvra::gui::test

#include "main_window_test.moc"
