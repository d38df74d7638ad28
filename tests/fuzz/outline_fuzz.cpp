// The window outline traced over small pictures: width and height from the first two bytes (1
// to 64 each), then one bit a pixel, row by row; pixels past the input's end are key colour.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "skin/outline.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr std::uint32_t kKey = 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::int32_t width = 1 + data[0] % 64;
    const std::int32_t height = 1 + data[1] % 64;
    const std::uint8_t* bits = data + 2;
    const std::size_t bitCount = (size - 2) * 8;
    const auto opaque = [&](std::int32_t x, std::int32_t y) {
        if (x < 0 || y < 0 || x >= width || y >= height) return false;
        const std::size_t k = std::size_t(y) * std::size_t(width) + std::size_t(x);
        return k < bitCount && (bits[k / 8] >> (k % 8) & 1) != 0;
    };

    std::uint64_t reads = 0;
    const auto outline =
        tavex::TraceOutline(width, height, kKey, [&](std::int32_t x, std::int32_t y) {
            FUZZ_CHECK(x >= 0 && y >= 0 && x < width && y < height);
            ++reads;
            return opaque(x, y) ? 0x000000FFu : kKey;
        });
    // Every pixel is read once to find the start, then a few cells each step.
    const std::uint64_t area = std::uint64_t(width) * std::uint64_t(height);
    FUZZ_CHECK(reads <= area + 5 * (4 * area + 16));
    if (!outline) return 0;

    // A closed polygon of straight and diagonal runs over opaque pixels, no longer than the
    // corner bound allows.
    FUZZ_CHECK(outline->size() >= 2);
    FUZZ_CHECK(outline->size() <= 8 * std::size_t(width + height) + 17);
    FUZZ_CHECK(outline->front() == outline->back());
    for (std::size_t i = 0; i + 1 < outline->size(); ++i) {
        const tavex::OutlinePoint a = (*outline)[i];
        const tavex::OutlinePoint b = (*outline)[i + 1];
        const std::int32_t dx = b.x - a.x, dy = b.y - a.y;
        const std::int32_t n = std::max(std::abs(dx), std::abs(dy));
        FUZZ_CHECK(n > 0);
        FUZZ_CHECK(dx == 0 || dy == 0 || std::abs(dx) == std::abs(dy));
        for (std::int32_t k = 0; k <= n; ++k) {
            FUZZ_CHECK(opaque(a.x + k * dx / n, a.y + k * dy / n));
        }
    }
    return 0;
}
