// The job list of the window with a long queue: filling it row by row as the refresh does, and
// clearing it again, on Qt's offscreen platform.
#if __has_include(<QApplication>)

#include "app/Form1.h"
#include "monitor/Monitor.h"

#include <QApplication>
#include <QTableView>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <string>

namespace {

using quenlo::JobRow;
using quenlo::app::TForm1;

JobRow Row(int i) {
    return JobRow{std::to_string(i),        "Laser",        "anna",
                  "Havi jelent\xc3\xa9s " + std::to_string(i), "120 K", "pending-held",
                  "job-hold-until-specified", "2026.12.08. 05:42:17"};
}

// Rows added one by one into the eight columns, then shown (one layout and paint).
void BM_FillJobList(benchmark::State& state) {
    TForm1 form(TForm1::Options{.exeDir = "/nonexistent/", .trayAvailable = false});
    for (const quenlo::JobColumn& column : quenlo::kJobColumns)
        form.AddJobColumn(column.caption, column.width);
    form.show();
    const int rows = static_cast<int>(state.range(0));
    for (auto _ : state) {
        form.ClearJobs();
        for (int i = 0; i < rows; ++i)
            form.AddJobRow(Row(i));
        form.ListView()->viewport()->repaint();
        QApplication::processEvents();
    }
    state.SetItemsProcessed(state.iterations() * rows);
}
BENCHMARK(BM_FillJobList)->Arg(100)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

#else
// Built without the window (no Qt 6): nothing to measure.
int main() { return 0; }
#endif
