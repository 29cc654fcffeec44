// Kelvra_ATCmd_GUI: the desktop program. Reads its options, finds its folders, starts
// virtual writers when asked, and runs the main window until it closes.
#include "gui/app/close_on_signals.h"
#include "gui/app/program_paths.h"
#include "gui/app/qt_translations.h"
#include "gui/app/screenshot_tour.h"
#if KELVRA_GUI_SIMULATION
#include "gui/app/simulation.h"
#endif
#include "gui/widgets/artwork.h"
#include "gui/windows/main_window.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>

#ifndef KELVRA_VERSION
#define KELVRA_VERSION "0"
#endif

namespace {

using namespace kelvra::gui;

}  // namespace

int main(int argc, char **argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(app::kProgramName));
    QApplication::setApplicationVersion(QStringLiteral(KELVRA_VERSION));
    QApplication::setWindowIcon(widgets::ProgramIcon());
    QApplication::setDesktopFileName(QStringLiteral("kelvra-atcmd-gui"));
    if (!app::InstallQtChinese(&application)) {
        std::fprintf(stderr, "%s: Qt's Chinese translations (qt6-translations-l10n) are not installed\n", app::kProgramName);
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Runs lists of AT commands on every connected Kelvra writer at once."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption port_option(QStringLiteral("port"),
                                         QStringLiteral("Also scan this device, e.g. a virtual writer's link (repeatable)."),
                                         QStringLiteral("PATH"));
    const QCommandLineOption simulate_option(QStringLiteral("simulate"),
                                             QStringLiteral("Start N virtual writers inside the program (1 to 24)."),
                                             QStringLiteral("N"));
    const QCommandLineOption dir_option(QStringLiteral("program-dir"),
                                        QStringLiteral("Keep config.json, InfoFile/ and log/ in DIR."), QStringLiteral("DIR"));
    QCommandLineOption fault_option(QStringLiteral("simulate-fault"),
                                    QStringLiteral("A virtual writer's fault: I:nack=CODE[@REQUEST] or I:unplug=N."),
                                    QStringLiteral("FAULT"));
    QCommandLineOption shots_option(QStringLiteral("screenshots"), QStringLiteral("Take the README's screenshots into DIR."),
                                    QStringLiteral("DIR"));
    QCommandLineOption shots_script_option(QStringLiteral("screenshot-script"),
                                           QStringLiteral("The script the screenshots run."), QStringLiteral("FILE"));
    for (QCommandLineOption *hidden : {&fault_option, &shots_option, &shots_script_option}) {
        hidden->setFlags(QCommandLineOption::HiddenFromHelp);
    }
    parser.addOptions({port_option, simulate_option, dir_option, fault_option, shots_option, shots_script_option});
    parser.process(application);

    windows::MainWindowOptions options;
    for (const QString &port : parser.values(port_option)) options.explicit_ports.push_back(port.toStdString());

#if KELVRA_GUI_SIMULATION
    std::unique_ptr<app::Simulation> simulation;
    if (parser.isSet(simulate_option)) {
        bool ok = false;
        const int count = parser.value(simulate_option).toInt(&ok);
        if (!ok || count < 1 || count > 24) {
            std::fprintf(stderr, "--simulate: a number from 1 to 24 is needed\n");
            return 2;
        }
        std::vector<app::SimulatedFault> faults;
        for (const QString &text : parser.values(fault_option)) {
            std::string error;
            const auto fault = app::ParseFault(text.toStdString(), &error);
            if (!fault) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 2;
            }
            faults.push_back(*fault);
        }
        try {
            simulation = std::make_unique<app::Simulation>(static_cast<std::size_t>(count), faults);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "--simulate: %s\n", e.what());
            return 3;
        }
        for (const std::string &link : simulation->links()) options.explicit_ports.push_back(link);
    }
#else
    if (parser.isSet(simulate_option)) {
        std::fprintf(stderr, "--simulate: virtual writers need pseudo-terminals, which this system does not have\n");
        return 2;
    }
#endif

    const std::string exe_dir = QCoreApplication::applicationDirPath().toStdString();
    const app::ProgramPaths paths = parser.isSet(dir_option)
                                        ? app::PathsIn(QDir(parser.value(dir_option)).absolutePath().toStdString())
                                        : app::ChoosePaths(exe_dir, app::IsWritableDir(exe_dir), app::CurrentEnvironment());
    std::error_code ignored;
    std::filesystem::create_directories(paths.program_dir, ignored);
    std::filesystem::create_directories(std::filesystem::path(paths.config_path).parent_path(), ignored);
    // "writer_cfg.json" and relative file names of scripts live in the current directory; a
    // launcher may start the program where it cannot write.
    if (!app::IsWritableDir(".")) {
        std::error_code changed;
        std::filesystem::current_path(paths.program_dir, changed);
        if (changed) std::fprintf(stderr, "cannot change to %s\n", paths.program_dir.c_str());
    }
    std::printf("%s: settings %s, results and run logs in %s\n", app::kProgramName, paths.config_path.c_str(),
                paths.program_dir.c_str());
    std::fflush(stdout);

    options.program_dir = paths.program_dir;
    options.config_path = paths.config_path;
    int result = 0;
    {
        windows::MainWindow window(options);
        app::CloseOnSignals(window, [&window] { window.CloseOnSignal(); });
        if (parser.isSet(shots_option)) {
            app::StartScreenshotTour(window, parser.value(shots_option), parser.value(shots_script_option));
        }
        result = window.exec();
    }
#if KELVRA_GUI_SIMULATION
    simulation.reset();
#endif
    (void)result;  // the window's result is not used
    return 0;
}
