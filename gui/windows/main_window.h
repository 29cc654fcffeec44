// The main window: the banner, the port panel, the message log, the command list with its
// buttons, the scan, run, script and result-folder buttons and the three option boxes. It
// renders what its run session reports (it is the session's view) and holds no run, scan,
// file or protocol logic of its own. The session's reports arrive on any thread and are
// handed to the GUI thread; nothing here waits for a worker.
#pragma once

#include "gui/app/settings_file.h"
#include "gui/dialogs/dialog_template.h"
#include "gui/windows/command_list_editor.h"
#include "host/run/panel_presenter.h"
#include "host/run/run_session.h"

#include <QDialog>
#include <QPointer>
#include <QTimer>

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelvra::records {
class Publisher;
class UnitRecorder;
}  // namespace kelvra::records

namespace kelvra::gui::widgets {
class LogView;
class PortPanel;
}  // namespace kelvra::gui::widgets

namespace kelvra::gui::dialogs {
class WaitDialog;
}

namespace kelvra::gui::windows {

struct MainWindowOptions {
    std::string program_dir;  // InfoFile/ and log/
    std::string config_path;  // config.json
    std::vector<std::string> explicit_ports;  // scanned after the system's ports
    std::string sysfs_root = "/sys";
    unsigned scan_linger_ms = 510;  // the wait window shows 100 % this long
    // The warning to give at start when no installed font shows the program's texts ("": none).
    QString (*font_warning)() = nullptr;
};

// The address that ends the fourth start-up line.
inline constexpr const char *kHelpAddress = "https://kelvra.example/docs/atcmd-gui";

class MainWindow : public QDialog, public run::IRunView, private run::IPanelView {
    Q_OBJECT
public:
    enum : int {
        kBanner = 1045, kPortFrame = 1007, kLog = 1005, kListGroup = 1043, kList = 1008,
        kAdd = 3, kInsert = 6, kMoveUp = 11, kMoveDown = 12, kDelete = 5, kClear = 13, kReplace = 4,
        kButtonGroup = 1044, kExport = 9, kLoad = 10, kScan = 7, kCloseAll = 14, kRun = 8,
        kPrintInfo = 1027, kCoverFile = 1028, kDebugMode = 1029, kViewFiles = 1031,
    };

    // Reads the settings file before anything else.
    explicit MainWindow(MainWindowOptions options, QWidget *parent = nullptr);
    // Waits for a scan still going, ends the session, then writes the settings file.
    ~MainWindow() override;

    // ---- IRunView: events from any thread, each handed to the GUI thread; the question on
    // the GUI thread ----
    void OnEvent(const run::RunEvent &event) override;
    run::MessageBoxAnswer Ask(const run::Question &question) override;

    // ---- the window's operations (GUI thread) ----
    void Scan();
    void Run();
    void LoadScriptFile(const QString &path);
    void SaveScriptFile(const QString &path);
    void ViewFiles();
    void ShowAbout();

    QWidget *control(int id) const { return controls_.widget(id); }
    widgets::LogView *log_view() const { return log_view_; }
    widgets::PortPanel *port_panel() const { return port_panel_; }
    dialogs::WaitDialog *wait_dialog() const;
    CommandListEditor &editor() { return *editor_; }
    run::RunSession &session() { return *session_; }
    const app::Settings &settings() const { return settings_; }
    bool scanning() const { return scanning_; }

    // Closing: waits for a scan; during a run asks first, then lets every port finish its
    // current command; offers to save a list edited since the last export or load.
    void reject() override;
    // A signal ends the program: its other windows close, a run stops without a question.
    void CloseOnSignal();
    // The list differs from the script last exported or loaded.
    bool list_modified() const;

Q_SIGNALS:
    // The scan is over and the window usable again.
    void ScanFinished();
    // Every port of a run has ended (or stopped).
    void RunFinished();

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    template <typename Fn>
    void Post(Fn &&fn) {
        QMetaObject::invokeMethod(this, std::forward<Fn>(fn), Qt::QueuedConnection);
    }
    // What an event shows, on the GUI thread.
    void Render(const run::RunEvent &event);
    // Renders the events that came, for a slice of time at most, so input is answered between
    // slices however fast the ports report.
    void DrainEvents();
    void ScanWaitOpen();
    // IPanelView: the presenter's pictures, on the GUI thread.
    void BuildPortPanel(const std::vector<std::string> &names) override;
    void SetCellPicture(int cell, run::StatusPicture picture) override;
    void SetCellBarColour(int cell, std::uint32_t colour) override;
    void SetCellPosition(int cell, int position) override;
    void SetCellLabel(int cell, const std::string &label) override;
    void SetControlsEnabled(bool enabled) override;
    void SetRunEnabled(bool enabled) override;
    void BuildWindow();
    void StartUp();
    void ApplyControlsEnabled(bool enabled);
    void OnScanReturned();
    void OnScanWaitClosed();
    void FinishScan();
    void ReadOptionBoxes();
    void ExportScript();
    void LoadScript();
    bool ReadyToClose();
    bool ConfirmStop();
    bool OfferToSave();
    void MarkListSaved();
    std::vector<std::string> ListLines() const;
    void OnStopTimer();
    // Opens the unit database and, when config.json names a broker, the publisher.
    void StartRecords();
    // After a run: says in the log what could not be stored or sent.
    void CheckRecords();

    MainWindowOptions options_;
    app::Settings settings_;
    dialogs::TemplateControls controls_;
    widgets::LogView *log_view_ = nullptr;
    widgets::PortPanel *port_panel_ = nullptr;
    widgets::CommandListView *list_view_ = nullptr;
    QPointer<dialogs::WaitDialog> wait_dialog_;
    run::PanelPresenter presenter_{*this};

    // Scan: the window is usable again when the scan returned (its wait window closed first).
    std::thread scan_thread_;
    bool scanning_ = false;

    // Closing during a scan or a run.
    bool close_requested_ = false;
    bool stopping_ = false;
    bool asking_ = true;  // off once a signal asked the program to end
    QTimer stop_timer_;
    std::vector<std::string> saved_lines_;  // the list as last exported or loaded

    // Events from any thread, waiting for the GUI thread.
    std::mutex events_mutex_;
    std::deque<run::RunEvent> events_;
    bool drain_posted_ = false;

    // What keeps the unit records from being stored or sent, shown in the log at start.
    std::vector<std::string> records_problems_;
    std::size_t recorder_errors_shown_ = 0;

    // Last: it calls back into this window from its threads until it is gone.
    // The broker the unit records go to, when config.json names one; the recorder wakes it.
    std::unique_ptr<records::Publisher> publisher_;
    // The station's unit database in the log folder; null where records are not built or the
    // file could not be opened. Outlives the session it listens to.
    std::unique_ptr<records::UnitRecorder> recorder_;
    std::unique_ptr<run::RunSession> session_;
    std::unique_ptr<CommandListEditor> editor_;
};

}  // namespace kelvra::gui::windows
