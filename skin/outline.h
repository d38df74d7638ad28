#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace tavex {

struct OutlinePoint {
    std::int32_t x = 0;
    std::int32_t y = 0;
    bool operator==(const OutlinePoint&) const = default;
};

// Reads the colour of pixel (x, y) as an RGB value; called only for 0 <= x < width,
// 0 <= y < height.
using PixelReader = std::function<std::uint32_t(std::int32_t x, std::int32_t y)>;

// The closed outline (the last point equals the first) of the area whose colour is not
// keyColour, or nullopt when no closed outline can be traced. The trace starts at the first
// opaque pixel in reading order and walks the border pixels; a point on the straight line through
// the two before it replaces the last one, so only corners remain. A trace that comes to a dead
// end (a lone pixel, a one-pixel line) fails, and so does one still open after
// 4 * width * height + 16 steps or with more than 8 * (width + height) + 16 points: a trace
// caught in a loop that never leads back to the start ends there, and the point list stays in
// proportion to the picture's edges, not its area.
std::optional<std::vector<OutlinePoint>> TraceOutline(std::int32_t width, std::int32_t height,
                                                      std::uint32_t keyColour,
                                                      const PixelReader& pixel);

}  // namespace tavex
