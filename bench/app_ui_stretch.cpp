// The window's longest stretch without handling events during a refresh: the real window and its
// monitor, started from a printers file as the program starts, refresh a printer while a 1 ms
// timer notes the largest gap between two of its ticks. The gap is how long a click or a repaint
// would have waited at worst.
//
//   XDG_CONFIG_HOME=DIR bench_app_ui_stretch [REFRESHES]      (default 5)
//
// DIR/Dorvane/Quenlo.conf names the folder of the printers file, whose first printer is refreshed
// (scripts/bench-refresh.sh points it at the replay server). Prints one line per refresh,
// "refresh N: longest gap X ms, Y rows", and exits 1 when a refresh shows no rows. Without
// XDG_CONFIG_HOME it measures nothing. Runs on the display in DISPLAY, else offscreen.
#if __has_include(<QApplication>)

#include "app/Form1.h"
#include "app/LoopBridge.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QAbstractItemModel>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

using quenlo::app::TForm1;

double LongestGapDuringRefresh(TForm1& form) {
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longest = std::max(longest, now - last);
        last = now;
    });
    tick.start();
    clock.start();
    form.Run(quenlo::form::Command::Refresh);
    const qint64 end = clock.nsecsElapsed();
    longest = std::max(longest, end - last);
    tick.stop();
    return static_cast<double>(longest) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("XDG_CONFIG_HOME") == nullptr) {
        std::fprintf(stderr, "bench_app_ui_stretch: XDG_CONFIG_HOME names no printers file; nothing measured\n");
        return 0;
    }
    if (std::getenv("DISPLAY") == nullptr)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const int refreshes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    quenlo::app::LoopBridge bridge;
    TForm1 form(TForm1::Options{.exeDir = "/nonexistent/", .trayAvailable = false});
    form.FormCreate();
    if (form.TerminationRequested()) {
        std::fprintf(stderr, "bench_app_ui_stretch: no printer found\n");
        return 1;
    }
    form.show();
    QApplication::processEvents();
    int status = 0;
    for (int i = 1; i <= refreshes; ++i) {
        const double gap = LongestGapDuringRefresh(form);
        const int rows = form.ListView()->model()->rowCount();
        std::printf("refresh %d: longest gap %.1f ms, %d rows\n", i, gap, rows);
        if (rows == 0)
            status = 1;
    }
    return status;
}

#else
// Built without the window (no Qt 6): nothing to measure.
int main() { return 0; }
#endif
