// The report of a year of hourly results (8760): the PDF (A4, the overview and the results
// pages), the HTML page with its SVG charts, and the first page as an image at 100 dpi.
//
//   build/bench/tavex_bench_report
#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <cmath>

#include "archive/summary.h"
#include "report/report.h"

namespace {

// Hourly from 1 January 2026 for 365 days, values with a daily rhythm, a few below the lower
// limit and a few over the range; dates as the meter stores them.
tavex::report::ReportRequest Year() {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    tavex::report::ReportRequest request;
    int n = 0;
    for (int month = 1; month <= 12; ++month) {
        for (int day = 1; day <= kDays[month - 1]; ++day) {
            for (int hour = 0; hour < 24; ++hour, ++n) {
                tavex::archive::Result r;
                r.year = 2026;
                r.month = month;
                r.day = day;
                r.hour = hour;
                const double rhythm = 18 + 12 * std::sin(hour * 0.26) + (n % 37) * 0.3;
                r.raw = n % 997 == 0 ? 0xFFFF : static_cast<std::uint16_t>(rhythm);
                if (n % 501 == 0) r.raw = 3;
                request.results.push_back(r);
            }
        }
    }
    request.summary = tavex::archive::Summarize(request.results);
    request.date = {2027, 1, 2};
    return request;
}

void BM_YearPdf(benchmark::State& state) {
    const auto request = Year();
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string pdf;
        std::string error;
        if (!tavex::report::RenderPdf(request, pdf, error)) state.SkipWithError(error.c_str());
        bytes = pdf.size();
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_YearPdf)->Unit(benchmark::kMillisecond);

void BM_YearHtml(benchmark::State& state) {
    const auto request = Year();
    std::size_t bytes = 0;
    for (auto _ : state) bytes = tavex::report::RenderHtml(request).size();
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_YearHtml)->Unit(benchmark::kMillisecond);

void BM_YearFirstPageImage(benchmark::State& state) {
    const auto request = Year();
    for (auto _ : state) benchmark::DoNotOptimize(tavex::report::RenderPageImage(request, 0, 100));
}
BENCHMARK(BM_YearFirstPageImage)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
