// The results archive: merging a full ring (1010 results, new or already there, with and
// without opening the archive), and reading and summarising ten years of hourly results
// (100,000). Each benchmark keeps an archive of its own in a private temporary folder.
//
//   build/bench/tavex_bench_archive [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/summary.h"
#include "fileio/safe_file.h"
#include "instrument/memory_map.h"

namespace {

using tavex::RawRecord;
namespace archive = tavex::archive;

// count hourly results from the first hour on, by the calendar.
std::vector<RawRecord> Hourly(std::chrono::sys_time<std::chrono::hours> first, std::size_t count) {
    using namespace std::chrono;
    std::vector<RawRecord> records;
    records.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const sys_time<hours> taken = first + hours{i};
        const sys_days day = floor<days>(taken);
        const year_month_day date{day};
        tavex::memory::StoredRecord stored;
        stored.raw = static_cast<std::uint16_t>(3 + (i * 7919) % 60);  // 25.5 .. 527 Bq/m3
        stored.hours = static_cast<std::uint8_t>((taken - day).count());
        stored.day = static_cast<std::uint8_t>(static_cast<unsigned>(date.day()));
        stored.month = static_cast<std::uint8_t>(static_cast<unsigned>(date.month()));
        stored.year = static_cast<std::uint8_t>(static_cast<int>(date.year()) % 100);
        records.push_back(tavex::memory::EncodeRecord(stored));
    }
    return records;
}

std::chrono::sys_time<std::chrono::hours> Start(int year) {
    return std::chrono::sys_days{std::chrono::year{year} / 1 / 1};
}

// A private folder for one benchmark, removed at its end.
struct Scratch {
    std::string folder;
    std::string error;
    Scratch() { tavex::MakePrivateFolder("tavex-bench-archive", folder, error); }
    ~Scratch() {
        if (!folder.empty()) tavex::RemoveTree(folder);
    }
    std::string Path() const { return folder + "/archive.sqlite"; }
    // The scratch archive, or nullptr with the benchmark skipped and told why.
    std::unique_ptr<archive::Archive> Open(benchmark::State& state) {
        std::string why;
        auto opened = folder.empty() ? nullptr : archive::Archive::Open(Path(), why);
        if (!opened) state.SkipWithError((error + why).c_str());
        return opened;
    }
};

// A new ring's worth each time: every result is added.
void BM_MergeNewRing(benchmark::State& state) {
    Scratch scratch;
    const auto opened = scratch.Open(state);
    if (!opened) return;
    std::string error;
    std::size_t batch = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::vector<RawRecord> records =
            Hourly(Start(2001) + std::chrono::hours{batch++ * tavex::memory::kSlotCount},
                   tavex::memory::kSlotCount);
        state.ResumeTiming();
        archive::MergeCounts counts;
        if (!opened->Merge(records, 1, counts, error) || counts.added != records.size()) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
}
BENCHMARK(BM_MergeNewRing)->Unit(benchmark::kMillisecond);

// The same ring read again: every result is already there.
void BM_MergeRingAgain(benchmark::State& state) {
    Scratch scratch;
    const auto opened = scratch.Open(state);
    if (!opened) return;
    std::string error;
    const std::vector<RawRecord> records = Hourly(Start(2020), tavex::memory::kSlotCount);
    archive::MergeCounts counts;
    opened->Merge(records, 1, counts, error);
    for (auto _ : state) {
        if (!opened->Merge(records, 2, counts, error) || counts.alreadyThere != records.size()) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
}
BENCHMARK(BM_MergeRingAgain)->Unit(benchmark::kMillisecond);

// What a program does after reading the meter: open the archive (which checks every page
// before anything is written), merge a new ring, close; into an archive that holds the
// argument's results already (ten years and more of hourly results: 100000).
void BM_OpenMergeNewRingClose(benchmark::State& state) {
    Scratch scratch;
    if (scratch.folder.empty()) {
        state.SkipWithError(scratch.error.c_str());
        return;
    }
    if (state.range(0) > 0) {
        std::string error;
        const auto opened = archive::Archive::Open(scratch.Path(), error);
        archive::MergeCounts counts;
        if (!opened || !opened->Merge(Hourly(Start(2080), static_cast<std::size_t>(state.range(0))),
                                      1, counts, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
    std::size_t batch = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::vector<RawRecord> records =
            Hourly(Start(2001) + std::chrono::hours{batch++ * tavex::memory::kSlotCount},
                   tavex::memory::kSlotCount);
        state.ResumeTiming();
        std::string error;
        const auto opened = archive::Archive::Open(scratch.Path(), error);
        archive::MergeCounts counts;
        if (!opened || !opened->Merge(records, 1, counts, error) ||
            counts.added != records.size()) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
}
BENCHMARK(BM_OpenMergeNewRingClose)->Arg(0)->Arg(100000)->Unit(benchmark::kMillisecond);

// Ten years and more of hourly results: read them all and summarise, as `summary` does.
void BM_ReadAndSummarize100000(benchmark::State& state) {
    Scratch scratch;
    std::string error;
    auto opened = scratch.folder.empty() ? nullptr : archive::Archive::Open(scratch.Path(), error);
    archive::MergeCounts counts;
    if (!opened || !opened->Merge(Hourly(Start(2014), 100000), 1, counts, error)) {
        state.SkipWithError((scratch.error + error).c_str());
        return;
    }
    opened.reset();
    // Opened as summary, history and report open it: to read.
    const auto openForReading = [&] {
        bool missing = false;
        return archive::Archive::OpenForReading(scratch.Path(), error, missing);
    };
    const bool reopen = state.range(0) != 0;
    if (!reopen) opened = openForReading();
    for (auto _ : state) {
        if (reopen) opened = openForReading();
        std::vector<archive::Result> results;
        if (!opened || !opened->Read({}, results, error) || results.size() != 100000) {
            state.SkipWithError(error.c_str());
            return;
        }
        const archive::Summary summary = archive::Summarize(results);
        benchmark::DoNotOptimize(summary.meanBq);
        if (reopen) opened.reset();
    }
}
// 0: an archive already open; 1: opened and closed each time too.
BENCHMARK(BM_ReadAndSummarize100000)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
