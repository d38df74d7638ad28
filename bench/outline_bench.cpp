// The window outline trace on the largest skin picture the panel takes (2048 x 2048), in its
// worst cases: a loop that turns at every step (it ends at the corner bound), a loop around a
// large hole with few corners (it runs to the step bound, 4 * 2048 * 2048 + 16 steps), and an
// honest disc filling the picture. The picture is one byte a pixel, read through the same kind
// of reader the panel gives the trace. Peak memory of one case:
//
//   /usr/bin/time -v build/bench/tavex_bench_outline --benchmark_filter=HoleLoop
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "skin/outline.h"

namespace {

constexpr std::int32_t kSide = 2048;

struct Picture {
    std::vector<std::uint8_t> pixels = std::vector<std::uint8_t>(std::size_t(kSide) * kSide, 0);
    void Set(std::int32_t x, std::int32_t y, std::uint8_t v = 1) {
        pixels[std::size_t(y) * kSide + std::size_t(x)] = v;
    }
};

// A five-by-three pattern in the top left corner whose trace circles for good, turning at
// every step.
Picture TurningLoop() {
    Picture picture;
    const char* rows[] = {".##", "###", ".#.", "#.#", "###"};
    for (std::int32_t y = 0; y < 5; ++y) {
        for (std::int32_t x = 0; x < 3; ++x) {
            if (rows[y][x] == '#') picture.Set(x, y);
        }
    }
    return picture;
}

// All opaque but a hole reaching to one pixel above the bottom edge: the trace goes round the
// hole, a long loop with few corners, until the step bound.
Picture HoleLoop() {
    Picture picture;
    for (std::int32_t y = 0; y < kSide; ++y) {
        for (std::int32_t x = 0; x < kSide; ++x) {
            const bool hole = x >= 2 && x < kSide - 3 && y >= 2 && y < kSide - 1;
            if (!hole) picture.Set(x, y);
        }
    }
    picture.Set(0, 0, 0);  // the panel's key colour is that of the top left pixel
    return picture;
}

Picture Disc() {
    Picture picture;
    for (std::int32_t y = 0; y < kSide; ++y) {
        for (std::int32_t x = 0; x < kSide; ++x) {
            const std::int64_t dx = 2 * x - (kSide - 1), dy = 2 * y - (kSide - 1);
            if (dx * dx + dy * dy <= std::int64_t{kSide - 1} * (kSide - 1)) picture.Set(x, y);
        }
    }
    return picture;
}

void Trace(benchmark::State& state, Picture (*make)(), bool closes) {
    const Picture picture = make();
    std::uint64_t reads = 0;
    std::size_t points = 0;
    for (auto _ : state) {
        reads = 0;
        const auto outline =
            tavex::TraceOutline(kSide, kSide, 0, [&](std::int32_t x, std::int32_t y) {
                ++reads;
                return std::uint32_t{picture.pixels[std::size_t(y) * kSide + std::size_t(x)]};
            });
        if (outline.has_value() != closes) state.SkipWithError("unexpected trace result");
        points = outline ? outline->size() : 0;
        benchmark::DoNotOptimize(points);
    }
    state.counters["pixel_reads"] = static_cast<double>(reads);
    state.counters["points"] = static_cast<double>(points);
}

void BM_TurningLoop(benchmark::State& state) {
    Trace(state, TurningLoop, false);
}
void BM_HoleLoop(benchmark::State& state) {
    Trace(state, HoleLoop, false);
}
void BM_Disc(benchmark::State& state) {
    Trace(state, Disc, true);
}

BENCHMARK(BM_TurningLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HoleLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Disc)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
