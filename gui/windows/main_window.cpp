#include "gui/windows/main_window.h"

#include "gui/app/fonts.h"
#include "gui/app/program_paths.h"
#include "gui/app/shell.h"
#include "gui/dialogs/about_dialog.h"
#include "gui/dialogs/wait_dialog.h"
#include "gui/widgets/artwork.h"
#include "gui/widgets/log_view.h"
#include "gui/widgets/port_panel.h"
#include "gui/windows/window_texts.h"

#if KELVRA_WITH_RECORDS
#include "host/records/mqtt_settings.h"
#include "host/records/mqtt_url.h"
#include "host/records/publisher.h"
#include "host/records/record_ids.h"
#include "host/records/unit_recorder.h"
#endif

#include <cstdio>
#include <filesystem>
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QElapsedTimer>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <variant>

namespace kelvra::gui::windows {
namespace {

using dialogs::ControlEntry;
using dialogs::Kind;
using W = MainWindow;

// Template 102, 580 x 424 dialog units.
const ControlEntry kTemplate[] = {
    {W::kBanner, Kind::Custom, "", 1, 1, 648, 99},
    {W::kPortFrame, Kind::Frame, "", 7, 107, 340, 205},
    {W::kLog, Kind::Custom, "", 351, 107, 224, 286},
    {W::kListGroup, Kind::GroupBox, "命令列表", 2, 314, 281, 109},
    {W::kList, Kind::Custom, "", 5, 324, 277, 73},
    {W::kAdd, Kind::Button, "添加AT命令", 4, 398, 46, 23},
    {W::kInsert, Kind::Button, "插入AT命令", 50, 398, 46, 23},
    {W::kMoveUp, Kind::Button, "命令上移", 97, 398, 46, 23},
    {W::kMoveDown, Kind::Button, "命令下移", 144, 398, 46, 23},
    {W::kDelete, Kind::Button, "删除AT命令", 191, 398, 46, 23},
    {W::kClear, Kind::Button, "清空AT命令", 237, 398, 46, 23},
    {W::kReplace, Kind::Button, "修改AT命令", 59, 297, 46, 23, dialogs::kHidden},
    {W::kButtonGroup, Kind::GroupBox, "", 286, 314, 63, 109},
    {W::kExport, Kind::Button, "导出AT脚本", 289, 320, 57, 24},
    {W::kLoad, Kind::Button, "加载AT脚本", 289, 346, 57, 24},
    {W::kScan, Kind::Button, "扫描AT端口", 289, 372, 57, 24},
    {W::kCloseAll, Kind::Button, "断开端口连接", 289, 397, 57, 24},
    {W::kRun, Kind::Button, "执行AT命令", 351, 396, 69, 26},
    {W::kPrintInfo, Kind::CheckBox, "打印获取信息", 421, 394, 57, 9},
    {W::kCoverFile, Kind::CheckBox, "覆盖文件", 421, 404, 43, 9},
    {W::kDebugMode, Kind::CheckBox, "调试模式(USB 转串口支持)", 422, 414, 98, 9},
    {W::kViewFiles, Kind::Button, "查看文件", 524, 396, 49, 26},
};
constexpr int kWidthUnits = 580;
constexpr int kHeightUnits = 424;
// The panel: a child page at the frame's top-left corner, 338 x 205 dialog units.
constexpr int kPanelWidthUnits = 338;
constexpr int kPanelHeightUnits = 205;

// SetControlsEnabled touches these, in this order; the run button and debug mode stay as they are.
constexpr int kEditingControls[] = {W::kAdd, W::kInsert, W::kReplace, W::kDelete, W::kScan, W::kCloseAll, W::kExport,
                                    W::kLoad, W::kMoveUp, W::kMoveDown, W::kClear, W::kPrintInfo, W::kCoverFile,
                                    W::kViewFiles, W::kList};

constexpr std::uint32_t kStartColour = 0x00E100;
const char *const kStartLines[] = {
    "在开始之前,先连接Kelvra，扫描Kelvra，然后设置指令，执行指令",
    "勾选“打印获取信息”将把“获取命令”获取到的信息输出到界面，否则不输出",
    "勾选“覆盖文件”将在文件夹“A-COM(x)”中生成文件，否则将在文件夹“COM(x)-日期”中生成文件",
};
constexpr const char *kHelpPrefix = "帮助文档：";
constexpr const char *kClosingText = "正在关闭：等待各端口完成当前命令……";
constexpr const char *kStopQuestion = "AT命令正在执行，确定要停止并退出吗？";
constexpr const char *kSaveQuestion = "命令列表已修改，是否导出AT脚本？";
constexpr const char *kAboutItem = "关于 Kelvra_ATCmd_GUI(&A)...";

// The banner at the size it has on the template's font, clipped by the window like the
// original's bitmap at its natural size.
class Banner : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override {
        static const QPixmap banner = widgets::BannerPixmap();
        QPainter painter(this);
        // Within rounding of its natural size it is drawn pixel for pixel.
        const QSize off = size() - banner.size();
        if (std::abs(off.width()) <= 2 && std::abs(off.height()) <= 2) {
            painter.drawPixmap(0, 0, banner);
            return;
        }
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawPixmap(rect(), banner);
    }
};

QString StartDirectory(const std::string &script_path) {
    if (script_path.empty()) return QDir::currentPath();
    return QFileInfo(QString::fromStdString(script_path)).absolutePath();
}

#if KELVRA_WITH_RECORDS
constexpr int kRecordsCheckMs = 3000;  // the broker's acknowledgements of a run's last units
constexpr int kRecordsRecheckMs = 500;  // while the database is still busy with the run
constexpr const char *kMqttUnusable = "MQTT设置无法使用，单元记录只保存在本机：";
constexpr const char *kNoRecords = "单元数据库无法打开，不保存单元记录：";
constexpr const char *kRecordNotStored = "单元记录未能保存：";
#endif

}  // namespace

MainWindow::MainWindow(MainWindowOptions options, QWidget *parent)
    : QDialog(parent), options_(std::move(options)), settings_(app::ReadSettings(options_.config_path)) {
    run::SessionOptions session_options;
    session_options.program_dir = options_.program_dir;
    session_options.scan.explicit_ports = options_.explicit_ports;
    session_options.scan.sysfs_root = options_.sysfs_root;
    session_options.scan_linger_ms = options_.scan_linger_ms;
    session_ = std::make_unique<run::RunSession>(*this, session_options);
#if KELVRA_WITH_RECORDS
    StartRecords();
#endif
    session_->set_print_info(settings_.print_info);
    session_->set_cover_file(settings_.cover_file);
    BuildWindow();
    StartUp();
#if KELVRA_WITH_RECORDS
    connect(this, &MainWindow::RunFinished, this,
            [this] { QTimer::singleShot(kRecordsCheckMs, this, [this] { CheckRecords(); }); });
#endif
    stop_timer_.setInterval(50);
    connect(&stop_timer_, &QTimer::timeout, this, &MainWindow::OnStopTimer);
}

MainWindow::~MainWindow() {
    if (scan_thread_.joinable()) scan_thread_.join();
    stop_timer_.stop();
    editor_.reset();
    // Waits for the ports and the scan's progress thread; nothing calls this window after.
    session_.reset();
#if KELVRA_WITH_RECORDS
    // The last units go to the broker now if it answers; what it does not take waits in the
    // outbox for the next start.
    if (recorder_) recorder_->Drain(std::chrono::seconds(10));
    if (publisher_) publisher_->Flush(std::chrono::seconds(2));
#endif
    app::WriteSettings(options_.config_path, settings_);
}

#if KELVRA_WITH_RECORDS
void MainWindow::StartRecords() {
    // Every unit this window runs is recorded as kvat run records it; nothing shows in the
    // window unless the records cannot be kept or sent.
    app::MqttConfig mqtt;
    records::MqttSettings settings;
    bool publish = false;
    if (settings_.mqtt) {
        std::string error = app::ReadMqttConfig(*settings_.mqtt, mqtt);
        if (error.empty() && !mqtt.station.empty()) {
            if (const std::string why = records::CheckTopicLevel(mqtt.station); !why.empty())
                error = "\"mqtt\": \"station\" " + why;
        }
        if (error.empty()) {
            bool usage = false;
            error = records::MakeMqttSettings({mqtt.url, mqtt.ca_file, mqtt.user, mqtt.password_file}, settings, usage,
                                              {"\"mqtt\": \"url\"", "\"mqtt\": \"ca_file\"",
                                               "\"mqtt\": \"password_file\""});
        }
        // A member that cannot be used is still written back as it was.
        publish = error.empty();
        if (!publish) records_problems_.push_back(std::string(kMqttUnusable) + error);
    }
    try {
        std::string station = mqtt.station.empty() ? records::HostName() : mqtt.station;
        if (station.empty() || !records::CheckTopicLevel(station).empty()) station = "station";
        std::error_code made;
        std::filesystem::create_directories(std::filesystem::path(options_.program_dir) / "log", made);
        const std::string db = (std::filesystem::path(options_.program_dir) / "log" / "units.db").string();
        if (publish) publisher_ = std::make_unique<records::Publisher>(settings, db);
        records::Publisher *publisher = publisher_.get();
        recorder_ = std::make_unique<records::UnitRecorder>(records::UnitRecorder::Options{db, station, [publisher] {
                                                                if (publisher) publisher->Wake();
                                                            }});
        session_->AddListener(*recorder_);
    } catch (const std::exception &e) {
        publisher_.reset();
        recorder_.reset();
        records_problems_.push_back(std::string(kNoRecords) + e.what());
    }
    for (const std::string &problem : records_problems_)
        std::fprintf(stderr, "%s: %s\n", app::kProgramName, problem.c_str());
}

void MainWindow::CheckRecords() {
    // A database that waits on a lock is still busy with the run: what it could not store is
    // known once it is idle.
    if (recorder_ && !recorder_->Drain(std::chrono::milliseconds(0))) {
        QTimer::singleShot(kRecordsRecheckMs, this, [this] { CheckRecords(); });
        return;
    }
    if (recorder_) {
        const std::vector<std::string> errors = recorder_->errors();
        for (std::size_t i = recorder_errors_shown_; i < errors.size(); ++i)
            session_->log().LogLevelLine(run::LogError, std::string(kRecordNotStored) + errors[i]);
        recorder_errors_shown_ = errors.size();
    }
    if (!publisher_) return;
    const records::Publisher::Status status = publisher_->status();
    if (status.unsent == 0) return;
    const std::string why = status.error.empty() ? std::string("服务器未及时确认") : status.error;
    session_->log().LogLevelLine(run::LogWarning, "MQTT：" + std::to_string(status.unsent) + " 条记录尚未发送（" +
                                                      why + "），下次运行时再发送");
}
#endif

void MainWindow::BuildWindow() {
    setWindowTitle(QStringLiteral("Kelvra ATCmd Terminal"));
    setWindowIcon(widgets::ProgramIcon());
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    const dialogs::DialogUnits units = dialogs::DialogUnits::FromFont(dialogs::DialogFont());
    setFixedSize(units.Size(kWidthUnits, kHeightUnits));

    controls_ = dialogs::BuildTemplate(this, kTemplate, units, [this](const ControlEntry &entry, QWidget *owner) -> QWidget * {
        switch (entry.id) {
            case kBanner: return new Banner(owner);
            case kLog: return log_view_ = new widgets::LogView(owner);
            case kList: return list_view_ = new widgets::CommandListView(owner);
            default: break;
        }
        return nullptr;
    });
    // The panel lives inside the frame, at its top-left corner, with its template size.
    port_panel_ = new widgets::PortPanel(control(kPortFrame));
    port_panel_->SetUnits(units.base_x(), units.base_y());
    // Rounding must not push it past the frame's edge.
    port_panel_->setGeometry(
        QRect(QPoint(0, 0), units.Size(kPanelWidthUnits, kPanelHeightUnits).boundedTo(control(kPortFrame)->size())));

    editor_ = std::make_unique<CommandListEditor>(list_view_, session_->log(), this);
    // A configuration row's file goes next to the last script, or else into the program folder.
    editor_->set_config_folder([this] {
        if (!settings_.script_path.empty()) return QFileInfo(QString::fromStdString(settings_.script_path)).absolutePath();
        return QDir(QString::fromStdString(options_.program_dir)).absolutePath();
    });
    auto button = [this](int id) { return static_cast<QPushButton *>(control(id)); };
    connect(button(kAdd), &QPushButton::clicked, editor_.get(), &CommandListEditor::Add);
    connect(button(kInsert), &QPushButton::clicked, editor_.get(), &CommandListEditor::Insert);
    connect(button(kReplace), &QPushButton::clicked, editor_.get(), &CommandListEditor::Replace);
    connect(button(kDelete), &QPushButton::clicked, editor_.get(), &CommandListEditor::Delete);
    connect(button(kMoveUp), &QPushButton::clicked, editor_.get(), &CommandListEditor::MoveUp);
    connect(button(kMoveDown), &QPushButton::clicked, editor_.get(), &CommandListEditor::MoveDown);
    connect(button(kClear), &QPushButton::clicked, editor_.get(), &CommandListEditor::Clear);
    connect(button(kScan), &QPushButton::clicked, this, &MainWindow::Scan);
    connect(button(kCloseAll), &QPushButton::clicked, this, [this] { session_->CloseAll(); });
    connect(button(kRun), &QPushButton::clicked, this, &MainWindow::Run);
    connect(button(kExport), &QPushButton::clicked, this, &MainWindow::ExportScript);
    connect(button(kLoad), &QPushButton::clicked, this, &MainWindow::LoadScript);
    connect(button(kViewFiles), &QPushButton::clicked, this, &MainWindow::ViewFiles);
    connect(controls_.get<QCheckBox>(kPrintInfo), &QCheckBox::clicked, this, &MainWindow::ReadOptionBoxes);
    connect(controls_.get<QCheckBox>(kCoverFile), &QCheckBox::clicked, this, &MainWindow::ReadOptionBoxes);
    connect(log_view_, &widgets::LogView::LinkPressed, this, [](const QString &address) {
        app::OpenWithShell(QUrl::fromUserInput(address));
    });
    controls_.get<QCheckBox>(kPrintInfo)->setChecked(settings_.print_info);
    controls_.get<QCheckBox>(kCoverFile)->setChecked(settings_.cover_file);
}

void MainWindow::StartUp() {
    run::MessageLog &log = session_->log();
    for (const char *line : kStartLines) log.AppendLine(line, kStartColour);
    log.AppendLine(std::string(kHelpPrefix) + kHelpAddress, run::kColourInfo);
#if KELVRA_WITH_RECORDS
    for (const std::string &problem : records_problems_) log.LogLevelLine(run::LogWarning, problem);
#endif
    const QString font_warning = (options_.font_warning != nullptr ? options_.font_warning : &app::MissingFontWarning)();
    if (!font_warning.isEmpty()) {
        log.LogLevelLine(run::LogWarning, font_warning.toStdString());
        std::fprintf(stderr, "%s: %s\n", app::kProgramName, font_warning.toUtf8().constData());
    }
    // The last script comes back; a script that is gone or no script at all says nothing.
    session_->LoadScript(settings_.script_path, editor_->commands(), true);
    editor_->RefreshCommandList();
    MarkListSaved();
    control(kRun)->setEnabled(false);
}

// ------------------------------------- the session's view -------------------------------------

void MainWindow::OnEvent(const run::RunEvent &event) {
    std::lock_guard<std::mutex> lock(events_mutex_);
    events_.push_back(event);
    if (drain_posted_) return;
    drain_posted_ = true;
    Post([this] { DrainEvents(); });
}

void MainWindow::DrainEvents() {
    constexpr qint64 kSliceMs = 25;
    QElapsedTimer slice;
    slice.start();
    bool more = false;
    log_view_->BeginBatch();
    for (;;) {
        std::optional<run::RunEvent> event;
        {
            std::lock_guard<std::mutex> lock(events_mutex_);
            if (events_.empty()) {
                drain_posted_ = false;
                break;
            }
            if (slice.elapsed() >= kSliceMs) {
                more = true;
                break;
            }
            event = std::move(events_.front());
            events_.pop_front();
        }
        // The lines go in together; anything else sees the log as it stands.
        if (std::holds_alternative<run::LogLine>(*event)) {
            Render(*event);
        } else {
            log_view_->EndBatch();
            Render(*event);
            log_view_->BeginBatch();
        }
    }
    log_view_->EndBatch();
    // The rest in the next round, after what was posted during this one (input, paint).
    if (more) Post([this] { DrainEvents(); });
}

void MainWindow::Render(const run::RunEvent &event) {
    if (const auto *line = std::get_if<run::LogLine>(&event)) {
        run::LogEntry entry = line->entry;
        entry.text = WindowText(entry.text);
        if (line->live) {
            log_view_->ReplaceLiveLine(entry);
        } else {
            log_view_->AppendLine(entry);
        }
        return;
    }
    if (const auto *diagnostic = std::get_if<run::Diagnostic>(&event)) {
        // Diagnostics go to the standard output, a line at a time.
        std::string text = diagnostic->text;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
        return;
    }
    if (const auto *progress = std::get_if<run::ScanProgress>(&event)) {
        switch (progress->phase) {
            case run::ScanProgress::Phase::Open: ScanWaitOpen(); break;
            case run::ScanProgress::Phase::Progress:
                if (wait_dialog_) wait_dialog_->SetProgress(progress->percent);
                break;
            case run::ScanProgress::Phase::Close: OnScanWaitClosed(); break;
        }
        return;
    }
    presenter_.OnEvent(event);
    if (std::holds_alternative<run::RunFinished>(event)) Q_EMIT RunFinished();
}

void MainWindow::BuildPortPanel(const std::vector<std::string> &names) {
    std::vector<QString> labels;
    for (const std::string &name : names) labels.push_back(QString::fromStdString(name));
    port_panel_->Build(labels);
}

void MainWindow::SetCellPicture(int cell, run::StatusPicture picture) { port_panel_->SetCellPicture(cell, picture); }

void MainWindow::SetCellBarColour(int cell, std::uint32_t colour) { port_panel_->SetCellBarColour(cell, colour); }

void MainWindow::SetCellPosition(int cell, int position) { port_panel_->SetCellPosition(cell, position); }

void MainWindow::SetCellLabel(int cell, const std::string &label) {
    port_panel_->SetCellLabel(cell, QString::fromStdString(label));
}

void MainWindow::SetControlsEnabled(bool enabled) { ApplyControlsEnabled(enabled); }

void MainWindow::SetRunEnabled(bool enabled) { control(kRun)->setEnabled(enabled); }

run::MessageBoxAnswer MainWindow::Ask(const run::Question &question) {
    const bool yes_no = question.buttons == run::MessageBoxButtons::YesNo;
    // Only the thread that starts a run asks; a box from anywhere else would block a worker.
    if (QThread::currentThread() != thread()) return yes_no ? run::MessageBoxAnswer::No : run::MessageBoxAnswer::Ok;
    if (question.row >= 0) editor_->SelectRow(question.row);
    QMessageBox box(question.icon == run::MessageBoxIcon::Error ? QMessageBox::Critical : QMessageBox::Question,
                    QString::fromStdString(question.caption), QString::fromStdString(question.text),
                    yes_no ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, this);
    const int answer = box.exec();
    if (!yes_no) return run::MessageBoxAnswer::Ok;
    return answer == QMessageBox::Yes ? run::MessageBoxAnswer::Yes : run::MessageBoxAnswer::No;
}

void MainWindow::ScanWaitOpen() {
    if (!scanning_) return;
    // A window of its own (not a child): the disabled main window must not disable it.
    auto *wait = new dialogs::WaitDialog(nullptr);
    wait->setAttribute(Qt::WA_DeleteOnClose);
    wait->setWindowIcon(windowIcon());
    wait_dialog_ = wait;
    wait->winId();
    if (window()->windowHandle() != nullptr) wait->windowHandle()->setTransientParent(window()->windowHandle());
    wait->CentreOver(frameGeometry());
    wait->show();
    // The keys go to it at once, so Esc closes it without a click first.
    wait->raise();
    wait->activateWindow();
}

// ------------------------------------------- scan ---------------------------------------------

void MainWindow::Scan() {
    if (scanning_ || session_->running()) return;
    scanning_ = true;
    setEnabled(false);
    if (scan_thread_.joinable()) scan_thread_.join();
    const bool any_port = controls_.get<QCheckBox>(kDebugMode)->isChecked();
    // The scan probes every candidate and blocks until its wait window closed; the window stays
    // responsive meanwhile. The close of the wait window is posted before the scan's return.
    scan_thread_ = std::thread([this, any_port] {
        session_->Scan(any_port);
        Post([this] { OnScanReturned(); });
    });
}

void MainWindow::OnScanReturned() {
    if (scan_thread_.joinable()) scan_thread_.join();
    FinishScan();
}

void MainWindow::OnScanWaitClosed() {
    if (wait_dialog_) wait_dialog_->close();
}

void MainWindow::FinishScan() {
    if (!scanning_) return;
    scanning_ = false;
    setEnabled(true);
    Q_EMIT ScanFinished();
    if (close_requested_) reject();
}

// -------------------------------------------- run ---------------------------------------------

void MainWindow::Run() {
    if (scanning_) return;
#if KELVRA_WITH_RECORDS
    if (recorder_) recorder_->SetScript(settings_.script_path);
#endif
    session_->StartRun(editor_->commands());
}

void MainWindow::ApplyControlsEnabled(bool enabled) {
    for (const int id : kEditingControls) {
        if (QWidget *w = control(id)) w->setEnabled(enabled);
    }
}

void MainWindow::ReadOptionBoxes() {
    settings_.print_info = controls_.get<QCheckBox>(kPrintInfo)->isChecked();
    settings_.cover_file = controls_.get<QCheckBox>(kCoverFile)->isChecked();
    session_->set_print_info(settings_.print_info);
    session_->set_cover_file(settings_.cover_file);
}

// ------------------------------------------ scripts -------------------------------------------

void MainWindow::ExportScript() {
    const QString name = QStringLiteral("kvatscript_") + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_hh-mm-ss"));
    QFileDialog dialog(this, QString(), StartDirectory(settings_.script_path), QStringLiteral("script file(*.kvatscript)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("kvatscript"));
    dialog.selectFile(name);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    SaveScriptFile(dialog.selectedFiles().front());
}

void MainWindow::SaveScriptFile(const QString &path) {
    settings_.script_path = path.toStdString();
    if (session_->SaveScript(settings_.script_path, editor_->commands())) MarkListSaved();
}

void MainWindow::LoadScript() {
    const QString path = QFileDialog::getOpenFileName(this, QString(), StartDirectory(settings_.script_path),
                                                      QStringLiteral("script file(*.kvatscript )"));
    if (path.isEmpty()) return;
    LoadScriptFile(path);
}

void MainWindow::LoadScriptFile(const QString &path) {
    settings_.script_path = path.toStdString();
    session_->LoadScript(settings_.script_path, editor_->commands());
    editor_->RefreshCommandList();
    MarkListSaved();
}

std::vector<std::string> MainWindow::ListLines() const {
    std::vector<std::string> lines;
    for (const S_CmdParam &command : editor_->commands()) lines.push_back(session_->CommandLine(command));
    return lines;
}

void MainWindow::MarkListSaved() { saved_lines_ = ListLines(); }

bool MainWindow::list_modified() const { return ListLines() != saved_lines_; }

// ------------------------------------------- others -------------------------------------------

dialogs::WaitDialog *MainWindow::wait_dialog() const { return wait_dialog_.data(); }

void MainWindow::ViewFiles() {
    const QString root = QString::fromStdString(session_->result_root());
    if (!QFileInfo(root).isDir()) {
        QMessageBox::critical(this, QStringLiteral("错误"), QStringLiteral("没有找到文件夹"));
        return;
    }
    app::OpenWithShell(QUrl::fromLocalFile(root));
}

void MainWindow::ShowAbout() {
    dialogs::AboutDialog about(this);
    about.exec();
}

void MainWindow::contextMenuEvent(QContextMenuEvent *event) {
    // The about box lives where the system menu's item would be: the window's own menu.
    QMenu menu(this);
    menu.addAction(QString::fromUtf8(kAboutItem), this, &MainWindow::ShowAbout);
    menu.exec(event->globalPos());
}

void MainWindow::keyPressEvent(QKeyEvent *event) {
    // Enter presses the focused button; the window has no default button to press otherwise.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (auto *button = qobject_cast<QPushButton *>(focusWidget())) {
            if (button->isEnabled()) button->click();
        }
        return;
    }
    QDialog::keyPressEvent(event);
}

// ------------------------------------------ closing -------------------------------------------

bool MainWindow::ReadyToClose() {
    if (scanning_) {
        close_requested_ = true;
        return false;
    }
    if (session_->running() || stopping_) {
        if (!stopping_) {
            if (asking_ && !ConfirmStop()) return false;
            if (!session_->running()) return true;  // it ended while the question was open
            stopping_ = true;
            close_requested_ = true;
            session_->log().LogLevelLine(run::LogWarning, kClosingText);
            session_->RequestStop();
            stop_timer_.start();
        }
        return false;
    }
    return true;
}

bool MainWindow::ConfirmStop() {
    QMessageBox box(QMessageBox::Question, QStringLiteral("提示"), QString::fromUtf8(kStopQuestion),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

bool MainWindow::OfferToSave() {
    if (!list_modified()) return true;
    QMessageBox box(QMessageBox::Question, QStringLiteral("提示"), QString::fromUtf8(kSaveQuestion),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, this);
    box.setDefaultButton(QMessageBox::Yes);
    const int answer = box.exec();
    if (answer == QMessageBox::No) return true;
    if (answer != QMessageBox::Yes) return false;
    ExportScript();
    return !list_modified();  // an export that was cancelled keeps the window open
}

void MainWindow::OnStopTimer() {
    if (!session_->WaitIdle(0)) return;
    stop_timer_.stop();
    stopping_ = false;
    reject();
}

void MainWindow::reject() {
    if (!ReadyToClose()) return;
    if (asking_ && !OfferToSave()) return;
    QDialog::reject();
}

void MainWindow::CloseOnSignal() {
    asking_ = false;
    // A dialog's own loop ends first; the window closes once nothing modal is left above it.
    bool closed_one = false;
    for (QWidget *modal = QApplication::activeModalWidget(); modal != nullptr && modal != this;
         modal = QApplication::activeModalWidget()) {
        auto *dialog = qobject_cast<QDialog *>(modal);
        if (dialog == nullptr || !dialog->isVisible()) break;
        dialog->reject();
        closed_one = true;
    }
    if (closed_one || (QApplication::activeModalWidget() != nullptr && QApplication::activeModalWidget() != this)) {
        QTimer::singleShot(0, this, &MainWindow::CloseOnSignal);
        return;
    }
    reject();
}

}  // namespace kelvra::gui::windows
