// How late the main window answers input while four virtual writers each read 256 KiB with
// "打印获取信息" on (some 33,000 printed lines a writer), against the same window idle, in the
// same process. Every 20 ms a second thread posts a probe event stamped with its send time; the
// GUI thread notes when it handles it. A window-system event (a key, a click) is dispatched in
// the same round of the event loop as posted events, so the probe waits as long as input would.
// A 20 ms timer's lateness is measured beside it.
//   bench_window_response [ROUNDS] [IDLE_MS]
#include "gui/widgets/log_view.h"
#include "gui/widgets/port_panel.h"
#include "gui/windows/main_window.h"
#include "sim/pty_writer.h"

#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using kelvra::gui::windows::MainWindow;
namespace sim = kelvra::sim;

constexpr int kProbeIntervalMs = 20;
constexpr int kWriters = 4;
constexpr unsigned kReadBytes = 256 * 1024;

double MsSince(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

const QEvent::Type kProbeType = static_cast<QEvent::Type>(QEvent::registerEventType());

class ProbeEvent : public QEvent {
public:
    explicit ProbeEvent(Clock::time_point at) : QEvent(kProbeType), sent(at) {}
    Clock::time_point sent;
};

// Lives on the GUI thread and notes how long each probe waited.
class ProbeReceiver : public QObject {
public:
    std::vector<double> latencies;
    bool recording = false;

protected:
    bool event(QEvent *event) override {
        if (event->type() != kProbeType) return QObject::event(event);
        if (recording) latencies.push_back(MsSince(static_cast<ProbeEvent *>(event)->sent, Clock::now()));
        return true;
    }
};

// Posts a probe every 20 ms from its own thread until stopped.
class Prober {
public:
    explicit Prober(ProbeReceiver &receiver) : receiver_(receiver) {
        thread_ = std::thread([this] {
            auto next = Clock::now();
            std::unique_lock<std::mutex> lock(mutex_);
            while (!stop_) {
                QCoreApplication::postEvent(&receiver_, new ProbeEvent(Clock::now()));
                next += std::chrono::milliseconds(kProbeIntervalMs);
                wake_.wait_until(lock, next, [this] { return stop_; });
            }
        });
    }
    ~Prober() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

private:
    ProbeReceiver &receiver_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

// A 20 ms timer on the GUI thread: how much later than its interval each tick came.
class TimerProbe {
public:
    TimerProbe() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(kProbeIntervalMs);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const auto now = Clock::now();
            lateness.push_back(std::max(0.0, MsSince(last_, now) - kProbeIntervalMs));
            last_ = now;
        });
        last_ = Clock::now();
        timer_.start();
    }
    std::vector<double> lateness;

private:
    QTimer timer_;
    Clock::time_point last_;
};

struct Figures {
    std::size_t count = 0;
    double median = 0, p99 = 0, max = 0;
};

Figures Summarise(std::vector<double> values) {
    Figures f;
    f.count = values.size();
    if (values.empty()) return f;
    std::sort(values.begin(), values.end());
    f.median = values[values.size() / 2];
    f.p99 = values[std::min(values.size() - 1, values.size() * 99 / 100)];
    f.max = values.back();
    return f;
}

struct Measured {
    Figures input, timer;
};

// Runs the event loop until `done` is emitted (or `ms` passed when there is no signal), with both
// probes recording.
template <typename Start>
Measured Measure(ProbeReceiver &receiver, Start &&start, int ms) {
    TimerProbe timer;
    receiver.latencies.clear();
    receiver.recording = true;
    {
        Prober prober(receiver);
        QEventLoop loop;
        start(loop);
        if (ms > 0) QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    }
    receiver.recording = false;
    return {Summarise(receiver.latencies), Summarise(timer.lateness)};
}

// A figure against the idle window's; none where the idle figure is below the clock's grain.
std::string Ratio(double value, double base) {
    if (base < 0.01) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", value / base);
    return text;
}

void PrintRow(const char *name, const Figures &f, const Figures &base) {
    std::printf("  %-22s %5zu  %8.2f  %8.2f  %8.2f ms", name, f.count, f.median, f.p99, f.max);
    if (&f != &base) {
        std::printf("   x idle: %s / %s / %s", Ratio(f.median, base.median).c_str(), Ratio(f.p99, base.p99).c_str(),
                    Ratio(f.max, base.max).c_str());
    }
    std::printf("\n");
}

void WriteFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
    const int idle_ms = argc > 2 ? std::atoi(argv[2]) : 3000;
    if (rounds <= 0 || idle_ms <= 0) {
        std::fprintf(stderr, "usage: bench_window_response [ROUNDS] [IDLE_MS]\n");
        return 2;
    }

    QTemporaryDir dir;
    QDir(dir.path()).mkpath(QStringLiteral("sys"));
    QDir(dir.path()).mkpath(QStringLiteral("program"));
    const QString script = dir.filePath(QStringLiteral("read.kvatscript"));
    WriteFile(script, QStringLiteral("-connect\n-read -addr 0x8000000 -s 0x%1\n").arg(kReadBytes, 0, 16).toUtf8());
    WriteFile(dir.filePath(QStringLiteral("program/config.json")), R"({"cover-file": false, "print-info": true})");

    sim::VirtualWriterPool::Options pool_options;
    pool_options.count = kWriters;
    pool_options.link_dir = dir.filePath(QStringLiteral("links")).toStdString();
    sim::VirtualWriterPool writers(pool_options);

    kelvra::gui::windows::MainWindowOptions options;
    options.explicit_ports = writers.link_paths();
    options.program_dir = dir.filePath(QStringLiteral("program")).toStdString();
    options.config_path = dir.filePath(QStringLiteral("program/config.json")).toStdString();
    options.sysfs_root = dir.filePath(QStringLiteral("sys")).toStdString();
    options.scan_linger_ms = 50;
    options.font_warning = [] { return QString(); };
    MainWindow window(options);
    window.show();
    QCoreApplication::processEvents();

    ProbeReceiver receiver;
    {
        QEventLoop loop;
        QObject::connect(&window, &MainWindow::ScanFinished, &loop, &QEventLoop::quit);
        window.Scan();
        loop.exec();
    }
    window.LoadScriptFile(script);
    if (window.port_panel()->cell_count() != kWriters || !window.session().print_info()) {
        std::fprintf(stderr, "the scan found %d writers (%d wanted), print info %s\n", window.port_panel()->cell_count(),
                     kWriters, window.session().print_info() ? "on" : "off");
        return 1;
    }

    std::printf("window response, %d writers each reading %u KiB with print info on, platform %s\n", kWriters,
                kReadBytes / 1024, qPrintable(QGuiApplication::platformName()));
    std::printf("  %-22s %5s  %8s  %8s  %8s\n", "", "count", "median", "p99", "max");
    std::vector<double> walls;
    Figures worst_input, worst_timer;
    for (int round = 1; round <= rounds; ++round) {
        const Measured idle = Measure(receiver, [](QEventLoop &) {}, idle_ms);
        Clock::time_point started, finished;
        const Measured busy = Measure(
            receiver,
            [&](QEventLoop &loop) {
                QObject::connect(&window, &MainWindow::RunFinished, &loop, [&loop, &finished] {
                    finished = Clock::now();
                    loop.quit();
                });
                started = Clock::now();
                window.Run();
            },
            0);
        QObject::disconnect(&window, &MainWindow::RunFinished, nullptr, nullptr);
        int passed = 0;
        for (int k = 0; k < kWriters; ++k) {
            passed += window.port_panel()->picture_state(k) == kelvra::run::StatusPicture::Succeed ? 1 : 0;
        }
        const double wall = MsSince(started, finished) / 1000.0;
        walls.push_back(wall);
        std::printf("round %d: run %.2f s, %d/%d writers passed, %d log lines kept\n", round, wall, passed, kWriters,
                    window.log_view()->document()->blockCount() - 1);
        PrintRow("input, idle", idle.input, idle.input);
        PrintRow("input, during the run", busy.input, idle.input);
        PrintRow("timer, idle", idle.timer, idle.timer);
        PrintRow("timer, during the run", busy.timer, idle.timer);
        worst_input.max = std::max(worst_input.max, busy.input.max);
        worst_timer.max = std::max(worst_timer.max, busy.timer.max);
        if (passed != kWriters) return 1;
    }
    std::sort(walls.begin(), walls.end());
    std::printf("median run %.2f s; slowest answer to input during a run %.2f ms, latest timer tick %.2f ms late\n",
                walls[walls.size() / 2], worst_input.max, worst_timer.max);
    return 0;
}
