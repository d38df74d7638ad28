#include "skin/outline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavex {

namespace {

using Points = std::vector<OutlinePoint>;

constexpr std::uint32_t kKey = 0xFF00FF;

// A picture in memory; opaque pixels get assorted colours (black included) so that only the key
// colour counts as clear. The reader fails the test when asked about a pixel off the picture.
struct Picture {
    std::int32_t width;
    std::int32_t height;
    std::vector<std::uint32_t> pixels;
    int reads = 0;

    Picture(std::int32_t w, std::int32_t h) : width(w), height(h), pixels(w * h, kKey) {}
    // '#' opaque, anything else key colour.
    explicit Picture(const std::vector<std::string>& rows)
        : Picture(std::int32_t(rows[0].size()), std::int32_t(rows.size())) {
        for (std::int32_t y = 0; y < height; ++y) {
            for (std::int32_t x = 0; x < width; ++x) {
                if (rows[y][x] == '#') Set(x, y);
            }
        }
    }

    void Set(std::int32_t x, std::int32_t y) { pixels[y * width + x] = (x * 7 + y * 13) % 5; }
    bool Opaque(std::int32_t x, std::int32_t y) const {
        return x >= 0 && y >= 0 && x < width && y < height && pixels[y * width + x] != kKey;
    }

    std::optional<Points> Trace() {
        return TraceOutline(width, height, kKey, [this](std::int32_t x, std::int32_t y) {
            ++reads;
            if (x < 0 || y < 0 || x >= width || y >= height) {
                ADD_FAILURE() << "read off the picture at " << x << "," << y;
                return kKey;
            }
            return pixels[y * width + x];
        });
    }
};

TEST(TraceOutline, RectangleGivesItsCorners) {
    Picture picture(8, 6);
    for (std::int32_t y = 1; y <= 3; ++y) {
        for (std::int32_t x = 2; x <= 5; ++x) picture.Set(x, y);
    }
    EXPECT_EQ(picture.Trace(), (Points{{2, 1}, {2, 3}, {5, 3}, {5, 1}, {2, 1}}));
}

// Diagonal runs keep only their ends, in all four directions.
TEST(TraceOutline, DiagonalEdgesKeepTheirEnds) {
    EXPECT_EQ(Picture({"...........",  //
                       "....###....",  //
                       "...#####...",  //
                       "..#######..",  //
                       ".#########.",  //
                       ".#########.",  //
                       "..#######..",  //
                       "...#####...",  //
                       "....###....",  //
                       "..........."})
                  .Trace(),
              (Points{{4, 1}, {1, 4}, {1, 5}, {4, 8}, {6, 8}, {9, 5}, {9, 4}, {6, 1}, {4, 1}}));
}

// The picture's edges bound the shape like the key colour does; every opaque pixel on an edge
// stays inside, also where the outline reaches the edge on a diagonal step.
TEST(TraceOutline, ShapesTouchingThePictureEdgesFollowThem) {
    EXPECT_EQ(Picture({"####..", "####..", "####..", "......", "......"}).Trace(),
              (Points{{0, 0}, {0, 2}, {3, 2}, {3, 0}, {0, 0}}));
    EXPECT_EQ(Picture({".####", "#####", "#####", "#####"}).Trace(),
              (Points{{1, 0}, {0, 1}, {0, 3}, {4, 3}, {4, 0}, {1, 0}}));
    EXPECT_EQ(Picture({"#####", "#####", "#####", "####."}).Trace(),
              (Points{{0, 0}, {0, 3}, {3, 3}, {4, 2}, {4, 0}, {0, 0}}));
    EXPECT_EQ(Picture({".###.", "#####", "#####", ".###."}).Trace(),
              (Points{{1, 0}, {0, 1}, {0, 2}, {1, 3}, {3, 3}, {4, 2}, {4, 1}, {3, 0}, {1, 0}}));
}

TEST(TraceOutline, FailsWithoutAClosedOutline) {
    // Nothing to trace.
    EXPECT_EQ(Picture(4, 3).Trace(), std::nullopt);
    Picture empty(0, 5);
    EXPECT_EQ(empty.Trace(), std::nullopt);
    EXPECT_EQ(empty.reads, 0);
    EXPECT_EQ(TraceOutline(-3, -2, kKey, [](std::int32_t, std::int32_t) { return 0u; }),
              std::nullopt);
    // A lone pixel, and a one-pixel line whose far end leads nowhere but back.
    EXPECT_EQ(Picture({"...", ".#.", "..."}).Trace(), std::nullopt);
    EXPECT_EQ(Picture({"......", ".####.", "......"}).Trace(), std::nullopt);
    EXPECT_EQ(Picture({"####"}).Trace(), std::nullopt);
}

// A key-colour hole just inside the border pulls the trace into circling it for good; the step
// bound ends the trace as a failure (the hole is large, so the loop has few corners).
TEST(TraceOutline, TraceThatNeverClosesStopsAtTheStepBound) {
    Picture picture({"############",  //
                     "############",  //
                     "##.......###",  //
                     "##.......###",  //
                     "##.......###",  //
                     "##.......###",  //
                     "############"});
    EXPECT_EQ(picture.Trace(), std::nullopt);
    const int steps = 4 * 12 * 7 + 16;
    EXPECT_GT(picture.reads, steps);  // it ran long, it did not stop at a dead end
    EXPECT_LE(picture.reads, 12 * 7 + 5 * steps);
}

// A loop that turns at every step would store a point per step up to the step bound, which grows
// with the picture's area; it ends at the corner bound instead, after reads in proportion to the
// picture's edges.
TEST(TraceOutline, LoopThatTurnsAtEveryStepStopsAtTheCornerBound) {
    Picture picture(400, 300);
    const std::vector<std::string> loop = {".##", "###", ".#.", "#.#", "###"};
    for (std::int32_t y = 0; y < 5; ++y) {
        for (std::int32_t x = 0; x < 3; ++x) {
            if (loop[y][x] == '#') picture.Set(x, y);
        }
    }
    EXPECT_EQ(picture.Trace(), std::nullopt);
    EXPECT_LT(picture.reads, 50 * (400 + 300));
}

// The corner bound leaves room for honest outlines rich in corners: a disc, and a rhombus whose
// edges step one across and one across-and-down, so that every step is a corner.
TEST(TraceOutline, ShapesWithManyCornersStillClose) {
    const std::int32_t w = 400, h = 201;
    Picture disc(w, w), rhombus(w, h);
    for (std::int32_t y = 0; y < w; ++y) {
        for (std::int32_t x = 0; x < w; ++x) {
            const std::int32_t dx = 2 * x - (w - 1), dy = 2 * y - (w - 1);
            if (dx * dx + dy * dy <= (w - 1) * (w - 1)) disc.Set(x, y);
            if (y < h && std::abs(dx) + 2 * std::abs(2 * y - (h - 1)) <= w - 1) rhombus.Set(x, y);
        }
    }
    const auto discOutline = disc.Trace();
    ASSERT_TRUE(discOutline.has_value());
    EXPECT_GT(discOutline->size(), std::size_t(w));
    const auto rhombusOutline = rhombus.Trace();
    ASSERT_TRUE(rhombusOutline.has_value());
    EXPECT_GT(rhombusOutline->size(), std::size_t(w + h));
}

// Whether the point (px, py) lies inside the closed polygon or on its border.
bool InsideOrOn(const Points& polygon, std::int32_t px, std::int32_t py) {
    bool inside = false;
    for (std::size_t i = 0; i + 1 < polygon.size(); ++i) {
        const OutlinePoint a = polygon[i];
        const OutlinePoint b = polygon[i + 1];
        const std::int64_t cross =
            std::int64_t{b.x - a.x} * (py - a.y) - std::int64_t{b.y - a.y} * (px - a.x);
        if (cross == 0 && std::min(a.x, b.x) <= px && px <= std::max(a.x, b.x) &&
            std::min(a.y, b.y) <= py && py <= std::max(a.y, b.y)) {
            return true;
        }
        if ((a.y > py) != (b.y > py) &&
            px < a.x + double(py - a.y) * (b.x - a.x) / double(b.y - a.y)) {
            inside = !inside;
        }
    }
    return inside;
}

// A panel-like rounded rectangle, with a margin and filling the whole picture: the outline runs
// through border pixels only, in straight or diagonal runs, and encloses exactly the shape.
TEST(TraceOutline, RoundedPanelOutlineEnclosesExactlyTheShape) {
    for (const std::int32_t margin : {3, 0}) {
        SCOPED_TRACE(margin);
        const std::int32_t w = 64, h = 41, r = 9;
        Picture picture(w, h);
        for (std::int32_t y = margin; y < h - margin; ++y) {
            for (std::int32_t x = margin; x < w - margin; ++x) {
                const std::int32_t cx = std::clamp(x, margin + r, w - 1 - margin - r);
                const std::int32_t cy = std::clamp(y, margin + r, h - 1 - margin - r);
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r) picture.Set(x, y);
            }
        }
        const auto outline = picture.Trace();
        ASSERT_TRUE(outline.has_value());
        ASSERT_GE(outline->size(), 5u);
        EXPECT_EQ(outline->front(), outline->back());
        const auto onBorder = [&](std::int32_t x, std::int32_t y) {
            return picture.Opaque(x, y) &&
                   !(picture.Opaque(x - 1, y - 1) && picture.Opaque(x, y - 1) &&
                     picture.Opaque(x + 1, y - 1) && picture.Opaque(x - 1, y) &&
                     picture.Opaque(x + 1, y) && picture.Opaque(x - 1, y + 1) &&
                     picture.Opaque(x, y + 1) && picture.Opaque(x + 1, y + 1));
        };
        for (std::size_t i = 0; i + 1 < outline->size(); ++i) {
            const OutlinePoint a = (*outline)[i];
            const OutlinePoint b = (*outline)[i + 1];
            const std::int32_t dx = b.x - a.x, dy = b.y - a.y;
            ASSERT_TRUE(dx == 0 || dy == 0 || std::abs(dx) == std::abs(dy)) << a.x << "," << a.y;
            const std::int32_t n = std::max(std::abs(dx), std::abs(dy));
            ASSERT_GT(n, 0) << "repeated point " << a.x << "," << a.y;
            for (std::int32_t k = 0; k <= n; ++k) {
                ASSERT_TRUE(onBorder(a.x + k * dx / n, a.y + k * dy / n)) << a.x << "," << a.y;
            }
        }
        for (std::int32_t y = 0; y < h; ++y) {
            for (std::int32_t x = 0; x < w; ++x) {
                ASSERT_EQ(InsideOrOn(*outline, x, y), picture.Opaque(x, y)) << x << "," << y;
            }
        }
    }
}

}  // namespace

}  // namespace tavex
