// Exports a full ring (1010 results) with `tavex-cli export`, through the simulated meter with
// 1 ms per report (and with none), as a page, a CSV file and a workbook. Reports the time the
// reports themselves need (transport_ms: reports x latency), the whole run against it (ratio),
// and what is left over (rest_ms); the run without latency shows the cost of connecting,
// converting and writing the rows on its own.
//
//   build/bench/tavex_bench_export [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "instrument/memory_map.h"
#include "instrument/sim/memory_image.h"
#include "instrument/sim/sim_bus.h"
#include "instrument/sim/sim_meter.h"

namespace {

namespace memory = tavex::memory;

// The demo memory's settings with every slot of the ring holding a valid result, the newest in
// slot 700, one an hour.
tavex::sim::MemoryImage FullRing() {
    tavex::sim::MemoryImage image = tavex::sim::DemoMemoryImage();
    constexpr std::uint32_t kNewest = 700;
    std::uint32_t slot = kNewest;
    for (std::uint32_t age = 0; age < memory::kSlotCount; ++age) {
        memory::StoredRecord record;
        record.raw = static_cast<std::uint16_t>(3 + (age * 37) % 600);
        record.minutes = static_cast<std::uint8_t>((age * 7) % 60);
        record.hours = static_cast<std::uint8_t>(23 - age % 24);
        record.day = static_cast<std::uint8_t>(28 - (age / 24) % 28);
        record.month = static_cast<std::uint8_t>(12 - (age / 672) % 12);
        record.year = 26;
        const auto bytes = memory::EncodeRecord(record);
        std::copy(bytes.begin(), bytes.end(), image.begin() + memory::SlotAddress(slot));
        slot = memory::PreviousSlot(slot);
    }
    const auto header = memory::EncodeHeader({kNewest, memory::kSlotCount});
    std::copy(header.begin(), header.end(), image.begin() + memory::kHeaderAddress);
    return image;
}

void BM_ExportFullRing(benchmark::State& state) {
    static const char* const kFormats[] = {"htm", "csv", "xlsx"};
    const std::string format = kFormats[state.range(0)];
    const auto latency = std::chrono::microseconds(state.range(1));
    state.SetLabel(format);

    auto bus = std::make_shared<tavex::sim::SimBus>();
    auto meter = std::make_shared<tavex::sim::SimMeter>(FullRing());
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
    double seconds = 0;
    for (auto _ : state) {
        std::ostringstream out;
        std::ostringstream err;
        const std::uint64_t firstReport = meter->ReportCount();
        const auto start = std::chrono::steady_clock::now();
        const int code = tavex::cli::Run(args, out, err, environment);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        reports += meter->ReportCount() - firstReport;
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
    const double transportMs =
        static_cast<double>(reports) / iterations * static_cast<double>(latency.count()) / 1000.0;
    state.counters["reports"] = static_cast<double>(reports) / iterations;
    state.counters["transport_ms"] = transportMs;
    state.counters["rest_ms"] = totalMs - transportMs;
    if (transportMs > 0) state.counters["ratio"] = totalMs / transportMs;
}

BENCHMARK(BM_ExportFullRing)
    ->ArgsProduct({{0, 1, 2}, {1000, 0}})
    ->ArgNames({"format", "latency_us"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
