// Exports a full ring (1010 results) with `tavex-cli export`, through the simulated meter with
// 1 ms per report (and with none), as a page, a CSV file and a workbook. With latency, the whole
// run against the time the meter really spent waiting (ratio_measured) and against the time the
// reports nominally need, reports x latency (ratio_nominal, transport_ms); without, the run's
// time itself (total_ms): the cost of connecting, converting and writing the rows on its own.
//
//   build/bench/tavex_bench_export [--benchmark_filter=...] [--benchmark_format=json]
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "bench/full_ring.h"
#include "cli/cli.h"
#include "instrument/sim/sim_bus.h"
#include "instrument/sim/sim_meter.h"

namespace {

void BM_ExportFullRing(benchmark::State& state) {
    static const char* const kFormats[] = {"htm", "csv", "xlsx"};
    const std::string format = kFormats[state.range(0)];
    const auto latency = std::chrono::microseconds(state.range(1));
    state.SetLabel(format);

    auto bus = std::make_shared<tavex::sim::SimBus>();
    auto meter = std::make_shared<tavex::sim::SimMeter>(tavex::bench::FullRing());
    meter->SetLatency(latency);
    bus->Plug(meter);
    tavex::cli::Environment environment;
    environment.realPlatform = [bus] { return bus; };
    environment.errorIsTerminal = [] { return false; };
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() /
        ("tavex-bench-export-" + std::to_string(::getpid()) + "." + format);
    // Every export also archives what it read: into an archive of the benchmark's own.
    const std::filesystem::path archive =
        std::filesystem::temp_directory_path() /
        ("tavex-bench-export-" + std::to_string(::getpid()) + ".sqlite");
    const std::vector<std::string> args = {"--wait",   "0", "--archive", archive.string(),
                                           "export", file.string()};
    const std::string expected = "exported: 1010 results to " + file.string() + "\n";

    std::uint64_t reports = 0;
    std::chrono::nanoseconds waited{0};
    double seconds = 0;
    for (auto _ : state) {
        std::ostringstream out;
        std::ostringstream err;
        const std::uint64_t firstReport = meter->ReportCount();
        const auto firstWaited = meter->WaitedTime();
        const auto start = std::chrono::steady_clock::now();
        const int code = tavex::cli::Run(args, out, err, environment);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        reports += meter->ReportCount() - firstReport;
        waited += meter->WaitedTime() - firstWaited;
        if (code != tavex::cli::kExitOk || out.str() != expected) {
            state.SkipWithError(("the export failed: " + err.str()).c_str());
            break;
        }
    }
    std::filesystem::remove(file);
    for (const char* companion : {"", "-wal", "-shm"})
        std::filesystem::remove(archive.string() + companion);
    const double iterations = static_cast<double>(state.iterations());
    if (iterations == 0) return;
    const double totalMs = seconds / iterations * 1000.0;
    const double waitedMs = std::chrono::duration<double, std::milli>(waited).count() / iterations;
    const double transportMs =
        static_cast<double>(reports) / iterations * static_cast<double>(latency.count()) / 1000.0;
    state.counters["reports"] = static_cast<double>(reports) / iterations;
    if (latency.count() > 0) {
        state.counters["transport_ms"] = transportMs;
        state.counters["ratio_measured"] = totalMs / waitedMs;
        state.counters["ratio_nominal"] = totalMs / transportMs;
    } else {
        state.counters["total_ms"] = totalMs;
    }
}

BENCHMARK(BM_ExportFullRing)
    ->ArgsProduct({{0, 1, 2}, {1000, 0}})
    ->ArgNames({"format", "latency_us"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
