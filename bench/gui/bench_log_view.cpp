// The message log view with 100,000 lines appended: the cost of each block of 10,000 lines,
// and the last block against the first (old lines are dropped from line 20,000 on). Lines go
// in one at a time, as a slow run reports them, and in batches of 200, as the window renders
// a burst. Every 100 lines the view paints, as it would on the screen.
//   bench_log_view [LINES] [BLOCK]
#include "gui/widgets/log_view.h"
#include "host/run/message_log.h"

#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using kelvra::gui::widgets::LogView;
namespace run = kelvra::run;

run::LogEntry Line(int i) {
    run::LogEntry entry;
    entry.time = "14:05:09";
    // A printed memory block: the longest lines of a print-info run.
    char text[128];
    std::snprintf(text, sizeof text, "ttyKV%d 0x%08X: 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF", i % 4,
                  0x08000000u + static_cast<unsigned>(i) * 16u);
    entry.text = text;
    entry.colour = i % 50 == 0 ? run::kColourSuccess : run::kColourInfo;
    return entry;
}

std::vector<double> Measure(int lines, int block, int batch) {
    LogView view;
    view.resize(448, 572);
    view.show();
    QCoreApplication::processEvents();
    std::vector<double> blocks;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < lines;) {
        view.BeginBatch();
        for (int k = 0; k < batch && i < lines; ++k, ++i) {
            view.AppendLine(Line(i));
            if (i % 100 == 99) view.ReplaceLiveLine(Line(i));  // the live line, now and then
        }
        view.EndBatch();
        if (i % 100 == 0) {
            view.repaint();
            QCoreApplication::processEvents();
        }
        if (i % block == 0) {
            blocks.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
            timer.restart();
        }
    }
    return blocks;
}

void Report(const char *name, const std::vector<double> &blocks, int block) {
    std::printf("%s:\n", name);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        std::printf("  lines %6zu-%6zu  %9.1f ms  %7.1f us/line\n", i * block + 1, (i + 1) * block, blocks[i],
                    blocks[i] * 1000.0 / block);
    }
    if (blocks.size() >= 2) std::printf("  last / first block: %.2f\n", blocks.back() / blocks.front());
}

}  // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int lines = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int block = argc > 2 ? std::atoi(argv[2]) : 10000;
    if (lines <= 0 || block <= 0 || block % 200 != 0) {
        std::fprintf(stderr, "usage: bench_log_view [LINES] [BLOCK, a multiple of 200]\n");
        return 2;
    }
    std::printf("log view, %d lines, %d kept\n", lines, LogView::kMaxLines);
    Report("one line at a time", Measure(lines, block, 1), block);
    Report("batches of 200 lines", Measure(lines, block, 200), block);
    return 0;
}
