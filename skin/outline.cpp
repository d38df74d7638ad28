#include "skin/outline.h"

#include <array>
#include <utility>

namespace tavex {

namespace {

// What the tracer knows about one cell of the 3x3 window around the current point.
enum class Cell : std::uint8_t {
    Unseen,   // not read yet
    Opaque,   // not the key colour
    Trail,    // the current point, or a point the trace has just come from
    Key,      // the key colour
    Outside,  // beyond the picture's edge
};

bool IsClear(Cell cell) {
    return cell == Cell::Key || cell == Cell::Outside;
}

struct Offset {
    int dx;
    int dy;
};

// Neighbour pairs in the order they are tried; the first pair with one opaque and one clear
// cell gives the next point (the opaque one).
constexpr std::array<std::pair<Offset, Offset>, 8> kPairs = {{
    {{-1, -1}, {0, -1}},  // NW & N
    {{0, -1}, {1, -1}},   // N & NE
    {{-1, 1}, {0, 1}},    // SW & S
    {{0, 1}, {1, 1}},     // S & SE
    {{-1, -1}, {-1, 0}},  // NW & W
    {{-1, 0}, {-1, 1}},   // W & SW
    {{1, -1}, {1, 0}},    // NE & E
    {{1, 0}, {1, 1}},     // E & SE
}};

// The 3x3 window around the current point. Cells are read once, when they come into view, and
// keep what was read while the window moves; so the old centre stays Trail in the cell the trace
// came from and keeps the trace from stepping straight back.
class Window {
public:
    Window(std::int32_t width, std::int32_t height) : m_width(width), m_height(height) {}

    Cell& At(int dx, int dy) { return m_cells[dy + 1][dx + 1]; }

    // Cells beyond the picture's edge are Outside and never reach the reader.
    void ReadUnseen(OutlinePoint p, std::uint32_t keyColour, const PixelReader& pixel) {
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                Cell& cell = At(dx, dy);
                if (cell != Cell::Unseen) continue;
                const std::int32_t x = p.x + dx;
                const std::int32_t y = p.y + dy;
                if (x < 0 || y < 0 || x >= m_width || y >= m_height) {
                    cell = Cell::Outside;
                } else {
                    cell = pixel(x, y) == keyColour ? Cell::Key : Cell::Opaque;
                }
            }
        }
    }

    // Moves the window one step: rows, then columns, shift away from the direction of travel
    // and the row or column coming into view is unseen.
    void Move(int dx, int dy) {
        if (dy == 1) {
            m_cells[0] = m_cells[1];
            m_cells[1] = m_cells[2];
            m_cells[2] = Row{};
        } else if (dy == -1) {
            m_cells[2] = m_cells[1];
            m_cells[1] = m_cells[0];
            m_cells[0] = Row{};
        }
        for (Row& row : m_cells) {
            if (dx == 1) {
                row = Row{row[1], row[2], Cell::Unseen};
            } else if (dx == -1) {
                row = Row{Cell::Unseen, row[0], row[1]};
            }
        }
    }

private:
    using Row = std::array<Cell, 3>;

    std::int32_t m_width;
    std::int32_t m_height;
    std::array<Row, 3> m_cells{};  // [dy + 1][dx + 1], all Unseen
};

std::optional<OutlinePoint> FindStart(std::int32_t width, std::int32_t height,
                                      std::uint32_t keyColour, const PixelReader& pixel) {
    for (std::int32_t y = 0; y < height; ++y) {
        for (std::int32_t x = 0; x < width; ++x) {
            if (pixel(x, y) != keyColour) return OutlinePoint{x, y};
        }
    }
    return std::nullopt;
}

// Appends n, or lets it replace the last point when it continues the straight line through the
// last two, so straight runs keep only their ends.
void Record(std::vector<OutlinePoint>& outline, OutlinePoint n) {
    if (outline.size() >= 2) {
        const OutlinePoint a = outline[outline.size() - 2];
        const OutlinePoint b = outline.back();
        const std::int64_t lhs = std::int64_t{n.y - b.y} * (std::int64_t{b.x} - std::int64_t{a.x});
        const std::int64_t rhs = (std::int64_t{b.y} - std::int64_t{a.y}) * std::int64_t{n.x - b.x};
        if (lhs == rhs) {
            outline.back() = n;
            return;
        }
    }
    outline.push_back(n);
}

}  // namespace

std::optional<std::vector<OutlinePoint>> TraceOutline(std::int32_t width, std::int32_t height,
                                                      std::uint32_t keyColour,
                                                      const PixelReader& pixel) {
    if (width <= 0 || height <= 0 || !pixel) return std::nullopt;
    const std::optional<OutlinePoint> start = FindStart(width, height, keyColour, pixel);
    if (!start) return std::nullopt;

    Window window(width, height);
    window.At(0, 0) = Cell::Opaque;  // known already: no need to read it again
    std::vector<OutlinePoint> outline{*start};
    OutlinePoint p = *start;

    // A trace can fall into a loop that never reaches the start again (around a key-colour hole
    // next to the border, say); no honest outline needs this many steps.
    const std::uint64_t maxSteps = 4 * std::uint64_t(width) * std::uint64_t(height) + 16;
    // Nor this many corners. A shape that is convex along rows and columns has fewer than
    // 2 * (width + height) even where every step turns (a staircase edge); four times that
    // leaves room for a panel's notches, while a loop that turns at every step stops long before
    // the step bound, with the list no longer than the picture's edges allow.
    const std::uint64_t maxCorners = 8 * (std::uint64_t(width) + std::uint64_t(height)) + 16;
    for (std::uint64_t step = 0; step < maxSteps; ++step) {
        window.ReadUnseen(p, keyColour, pixel);
        window.At(0, 0) = Cell::Trail;

        const Offset* next = nullptr;
        for (const auto& [first, second] : kPairs) {
            const Cell a = window.At(first.dx, first.dy);
            const Cell b = window.At(second.dx, second.dy);
            if (a == Cell::Opaque && IsClear(b)) {
                next = &first;
            } else if (b == Cell::Opaque && IsClear(a)) {
                next = &second;
            }
            if (next) break;
        }
        // A dead end: only the trail leads on (a lone pixel, the tip of a one-pixel line).
        if (!next) return std::nullopt;

        const OutlinePoint n{p.x + next->dx, p.y + next->dy};
        Record(outline, n);
        window.Move(next->dx, next->dy);
        p = n;
        if (outline.back() == outline.front()) return outline;
        if (outline.size() > maxCorners) return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace tavex
