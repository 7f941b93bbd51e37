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
//
//   XDG_CONFIG_HOME=DIR bench_app_ui_stretch --overview [LOOKS] [CHANGE_COMMAND]
//
// For a file with admin=1: the window starts on the overview of every printer; once every row is
// known, LOOKS more looks are asked for with the refresh button, each timed until its last row
// arrives: "overview N: longest gap X ms, R rows in T ms". With CHANGE_COMMAND (a file with the
// watch), the command is run once every row is known and the rows the view is told to redraw are
// counted until the file's first printer's lamp turns from green, and a second after:
// "one printer changed: K rows redrawn".
#if __has_include(<QApplication>)

#include "app/Form1.h"
#include "app/LoopBridge.h"
#include "app/OverviewModel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QAbstractItemModel>
#include <QEventLoop>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>

namespace {

using quenlo::app::TForm1;

// Turns the event loop until done() or `limitMs`.
void RunUntil(const std::function<bool()>& done, int limitMs) {
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done() || clock.elapsed() > limitMs)
            loop.quit();
    });
    check.start(5);
    if (!done())
        loop.exec();
}

// The longest gap between two ticks of a 1 ms timer from `start` until done() (the event loop
// turning meanwhile), in ms; `took` gets the whole stretch's ms.
double LongestGap(const std::function<void()>& start, const std::function<bool()>& done, double& took) {
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
    start();
    RunUntil(done, 60000);
    const qint64 end = clock.nsecsElapsed();
    longest = std::max(longest, end - last);
    tick.stop();
    took = static_cast<double>(end) / 1e6;
    return static_cast<double>(longest) / 1e6;
}

bool EveryRowKnown(const quenlo::app::OverviewModel& rows) {
    for (int i = 0; i < rows.rowCount(); ++i)
        if (!rows.Row(static_cast<std::size_t>(i)).known)
            return false;
    return rows.rowCount() > 0;
}

int MeasureRefreshes(TForm1& form, int refreshes) {
    int status = 0;
    for (int i = 1; i <= refreshes; ++i) {
        double took = 0;
        const double gap = LongestGap([&] { form.Run(quenlo::form::Command::Refresh); }, [] { return true; }, took);
        const int rows = form.ListView()->model()->rowCount();
        std::printf("refresh %d: longest gap %.1f ms, %d rows\n", i, gap, rows);
        if (rows == 0)
            status = 1;
    }
    return status;
}

int MeasureOverview(TForm1& form, int looks, const char* change) {
    quenlo::app::OverviewModel* rows = form.Overview();
    if (rows == nullptr || form.ListView()->model() != rows) {
        std::fprintf(stderr, "bench_app_ui_stretch: the window did not start on the overview (admin=1?)\n");
        return 1;
    }
    RunUntil([&] { return EveryRowKnown(*rows); }, 60000);
    for (int i = 1; i <= looks; ++i) {
        double took = 0;
        const double gap = LongestGap([&] { form.Run(quenlo::form::Command::Refresh); },
                                      [&] { return EveryRowKnown(*rows); }, took);
        std::printf("overview %d: longest gap %.1f ms, %d rows in %.1f ms\n", i, gap, rows->rowCount(), took);
        if (!EveryRowKnown(*rows))
            return 1;
    }
    if (change == nullptr)
        return 0;
    std::set<int> redrawn;
    bool all = false;
    QObject::connect(rows, &QAbstractItemModel::dataChanged, [&](const QModelIndex& from, const QModelIndex& to) {
        for (int r = from.row(); r <= to.row(); ++r)
            redrawn.insert(r);
    });
    QObject::connect(rows, &QAbstractItemModel::layoutChanged, [&] { all = true; });
    QObject::connect(rows, &QAbstractItemModel::modelReset, [&] { all = true; });
    if (std::system(change) != 0)
        std::fprintf(stderr, "bench_app_ui_stretch: the change command failed\n");
    RunUntil([&] { return rows->Row(0).lamp != quenlo::Lamp::Green; }, 30000);
    RunUntil([] { return false; }, 1000);
    std::printf("one printer changed: %zu rows redrawn%s (its lamp %s)\n", redrawn.size(),
                all ? ", and the whole view" : "", rows->Row(0).lamp == quenlo::Lamp::Green ? "still green" : "changed");
    return rows->Row(0).lamp == quenlo::Lamp::Green ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("XDG_CONFIG_HOME") == nullptr) {
        std::fprintf(stderr, "bench_app_ui_stretch: XDG_CONFIG_HOME names no printers file; nothing measured\n");
        return 0;
    }
    if (std::getenv("DISPLAY") == nullptr)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const bool overview = argc > 1 && std::strcmp(argv[1], "--overview") == 0;
    const int first = overview ? 2 : 1;
    const int repeats = argc > first ? std::max(1, std::atoi(argv[first])) : 5;
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
    return overview ? MeasureOverview(form, repeats, argc > first + 1 ? argv[first + 1] : nullptr)
                    : MeasureRefreshes(form, repeats);
}

#else
// Built without the window (no Qt 6): nothing to measure.
int main() { return 0; }
#endif
