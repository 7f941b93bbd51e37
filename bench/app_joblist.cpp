// The job list of the window with a long queue: filling it row by row as the refresh does, and
// clearing it again, on Qt's offscreen platform. With QUENLO_REFRESH_CAPTURES naming the captures
// of scripts/capture-refresh.sh, also the rows of the captured 5,000-job answer.
#if __has_include(<QApplication>)

#include "app/Form1.h"
#include "monitor/Monitor.h"
#include "monitor/RefreshText.h"

#include <QApplication>
#include <QTableView>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using quenlo::JobRow;
using quenlo::app::TForm1;

JobRow Row(int i) {
    return JobRow{std::to_string(i),        "Laser",        "anna",
                  "Havi jelent\xc3\xa9s " + std::to_string(i), "120 K", "pending-held",
                  "job-hold-until-specified", "2026.12.08. 05:42:17"};
}

void AddColumnsAndShow(TForm1& form) {
    for (const quenlo::JobColumn& column : quenlo::kJobColumns)
        form.AddJobColumn(column.caption, column.width);
    form.show();
}

void ShowFilledList(TForm1& form) {
    form.ListView()->viewport()->repaint();
    QApplication::processEvents();
}

// Rows added one by one into the eight columns, then shown (one layout and paint).
void BM_FillJobList(benchmark::State& state) {
    TForm1 form(TForm1::Options{.exeDir = "/nonexistent/", .trayAvailable = false});
    AddColumnsAndShow(form);
    const int rows = static_cast<int>(state.range(0));
    for (auto _ : state) {
        form.ClearJobs();
        for (int i = 0; i < rows; ++i)
            form.AddJobRow(Row(i));
        ShowFilledList(form);
    }
    state.SetItemsProcessed(state.iterations() * rows);
}
BENCHMARK(BM_FillJobList)->Arg(100)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);

// The rows a real server's 5,000-job answer gives, walked once; each pass hands fresh copies to
// the list, as the refresh hands over the rows it has just made.
std::vector<JobRow> CapturedRows(const char* captures) {
    std::ifstream in(std::string(captures) + "/jobs-5000/get-jobs.http", std::ios::binary);
    const std::string answer{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::size_t body = answer.find("\r\n\r\n");
    if (body == std::string::npos)
        return {};
    return quenlo::WalkJobList(std::string_view(answer).substr(body + 4), "Laser");
}

void BM_FillCapturedJobList(benchmark::State& state, std::vector<JobRow> rows) {
    TForm1 form(TForm1::Options{.exeDir = "/nonexistent/", .trayAvailable = false});
    AddColumnsAndShow(form);
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<JobRow> fresh = rows;
        state.ResumeTiming();
        form.ClearJobs();
        for (JobRow& row : fresh)
            form.AddJobRow(std::move(row));
        ShowFilledList(form);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(rows.size()));
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    if (const char* captures = std::getenv("QUENLO_REFRESH_CAPTURES")) {
        std::vector<JobRow> rows = CapturedRows(captures);
        if (rows.size() != 5000) {
            std::fprintf(stderr, "bench_app_joblist: %zu rows in the 5,000-job capture\n", rows.size());
            return 1;
        }
        benchmark::RegisterBenchmark("BM_FillCapturedJobList/5000", BM_FillCapturedJobList, std::move(rows))
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

#else
// Built without the window (no Qt 6): nothing to measure.
int main() { return 0; }
#endif
