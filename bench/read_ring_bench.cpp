// Reads a full record ring (1010 records in chunks of 105, as the export does) from the
// simulated meter with a fixed latency per report, and compares the time taken with the time
// the reports themselves need (reports x latency). Also reports the process CPU time, which
// shows whether waiting for the exchange threads costs CPU.
//
//   build/bench/tavex_bench_read_ring [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <vector>

#include "instrument/memory_map.h"
#include "instrument/protokol.h"
#include "instrument/sim/sim_bus.h"
#include "instrument/sim/sim_meter.h"

namespace {

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_ReadFullRing(benchmark::State& state) {
    const auto latency = std::chrono::microseconds(state.range(0));
    auto bus = std::make_shared<tavex::sim::SimBus>();
    auto meter = std::make_shared<tavex::sim::SimMeter>(tavex::sim::DemoMemoryImage());
    bus->Plug(meter);
    auto form = tavex::TForm2::Create(bus);
    form->FormCreate();
    form->Timer1Timer();
    form->WaitForExchangeThreads(std::chrono::seconds(10));
    if (!form->connected.load()) {
        state.SkipWithError("the simulated meter did not connect");
        return;
    }
    meter->SetLatency(latency);

    constexpr unsigned kChunk = 105;
    std::vector<std::uint8_t> buffer(8 * kChunk);
    std::uint64_t reports = 0;
    double cpu = 0;
    for (auto _ : state) {
        form->recordPointer.store(120);
        const std::uint64_t firstReport = meter->ReportCount();
        const double cpuStart = ProcessCpuSeconds();
        for (unsigned left = tavex::memory::kSlotCount; left > 0;) {
            const unsigned n = left < kChunk ? left : kChunk;
            form->ReadRecords(buffer.data(), n);
            form->WaitWhileBusy();
            left -= n;
        }
        cpu += ProcessCpuSeconds() - cpuStart;
        reports += meter->ReportCount() - firstReport;
        if (!form->LastCommandSucceeded()) state.SkipWithError("a record read failed");
    }
    form->WaitForExchangeThreads(std::chrono::seconds(10));
    const double iterations = static_cast<double>(state.iterations());
    const double transportMs =
        static_cast<double>(reports) / iterations * static_cast<double>(latency.count()) / 1000.0;
    state.counters["reports"] = static_cast<double>(reports) / iterations;
    state.counters["transport_ms"] = transportMs;
    state.counters["cpu_ms"] = cpu / iterations * 1000.0;
}

BENCHMARK(BM_ReadFullRing)
    ->Arg(1000)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
