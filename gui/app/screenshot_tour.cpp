#include "gui/app/screenshot_tour.h"

#include "gui/dialogs/about_dialog.h"
#include "gui/dialogs/param_dialog.h"
#include "gui/dialogs/select_command_dialog.h"
#include "gui/dialogs/wait_dialog.h"
#include "gui/dialogs/writer_config_dialog.h"
#include "gui/windows/main_window.h"
#include "host/model/at_command.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace kelvra::gui::app {
namespace {

void Settle(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

void Save(QWidget *widget, const QDir &dir, const char *name) {
    const QString path = dir.filePath(QString::fromUtf8(name));
    if (widget->grab().save(path)) {
        std::printf("%s\n", qPrintable(path));
    } else {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    }
    std::fflush(stdout);
}

// Shows a dialog without its own event loop, saves it, and closes it.
void SaveDialog(QDialog *dialog, const QDir &dir, const char *name) {
    dialog->show();
    Settle(300);
    Save(dialog, dir, name);
    dialog->close();
}

}  // namespace

void StartScreenshotTour(windows::MainWindow &window, const QString &out_dir, const QString &script) {
    auto dir = std::make_shared<QDir>(out_dir);
    dir->mkpath(QStringLiteral("."));
    windows::MainWindow *w = &window;
    QObject::connect(w, &windows::MainWindow::RunFinished, w, [w, dir] {
        Settle(600);
        Save(w, *dir, "main_window.png");

        dialogs::SelectCommandDialog select(w);
        SaveDialog(&select, *dir, "selection_dialog.png");

        S_CmdParam write = NewCmdParam(ATCmdWriteTargetMemory);
        for (const S_CmdParam &row : w->editor().commands()) {
            if (row.command == ATCmdWriteTargetMemory) write = row;
        }
        dialogs::ParamDialog param(write, w);
        SaveDialog(&param, *dir, "parameter_dialog_write.png");

        dialogs::WriterConfigDialog config("", w);
        SaveDialog(&config, *dir, "writer_config_dialog.png");

        dialogs::AboutDialog about(w);
        SaveDialog(&about, *dir, "about_dialog.png");
        w->done(0);
    }, Qt::QueuedConnection);
    QObject::connect(w, &windows::MainWindow::ScanFinished, w, [w, script] {
        if (!script.isEmpty()) w->LoadScriptFile(script);
        Settle(200);
        w->Run();
    }, Qt::QueuedConnection);
    QTimer::singleShot(500, w, [w, dir] {
        w->Scan();
        // The wait window, once its bar has moved.
        QTimer::singleShot(250, w, [w, dir] {
            if (dialogs::WaitDialog *wait = w->wait_dialog()) Save(wait, *dir, "scan_wait.png");
        });
    });
}

}  // namespace kelvra::gui::app
