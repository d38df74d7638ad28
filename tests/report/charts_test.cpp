#include "report/charts.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QRegularExpression>
#include <QXmlStreamReader>
#include <map>
#include <set>
#include <string>

#include "report/svg_device.h"
#include "tests/archive/archive_support.h"
#include "tests/report/report_test_data.h"

namespace tavex::report {
namespace {

using test_data::At;
using test_data::Hourly;
using test_data::ParseSvg;
using test_data::ResultAt;
using test_data::SvgElement;

TEST(Calendar, DaysAgreeWithQtsCalendarAndOverflowCountsOn) {
    const qint64 epoch = QDate(2000, 1, 1).toJulianDay();
    for (QDate d(2000, 1, 1); d.year() < 2100; d = d.addDays(1)) {
        const std::int64_t days = DaysFromCivil(d.year(), d.month(), d.day());
        ASSERT_EQ(days, d.toJulianDay() - epoch) << d.toString(Qt::ISODate).toStdString();
        const archive::Day back = CivilFromDays(days);
        ASSERT_EQ(QDate(back.year, back.month, back.day), d);
    }
    // Days past a month's end, as the meter may store them.
    const struct {
        int year, month, day;
        QDate same;
    } overflow[] = {
        {2026, 2, 31, QDate(2026, 3, 3)},
        {2024, 2, 30, QDate(2024, 3, 1)},
        {2026, 4, 31, QDate(2026, 5, 1)},
        {2099, 11, 31, QDate(2099, 12, 1)},
    };
    for (const auto& o : overflow) {
        EXPECT_EQ(DaysFromCivil(o.year, o.month, o.day), o.same.toJulianDay() - epoch);
    }
}

TEST(Runs, GapsAndStepsBackBreakTheLine) {
    const auto r = [](int y, int mo, int d, int h, int mi) {
        return archive::testing::ResultOf(y, mo, d, h, mi);
    };
    const struct {
        const char* name;
        std::vector<archive::Result> results;
        std::vector<std::pair<std::size_t, std::size_t>> runs;
    } cases[] = {
        {"none", {}, {}},
        {"one", {r(2026, 1, 1, 0, 0)}, {{0, 0}}},
        {"hourly across midnight",
         {r(2026, 1, 1, 22, 0), r(2026, 1, 1, 23, 0), r(2026, 1, 2, 0, 0)},
         {{0, 2}}},
        {"exactly three hours", {r(2026, 1, 1, 0, 0), r(2026, 1, 1, 3, 0)}, {{0, 1}}},
        {"a minute more", {r(2026, 1, 1, 0, 0), r(2026, 1, 1, 3, 1)}, {{0, 0}, {1, 1}}},
        {"minute 60 is the next hour", {r(2026, 1, 1, 5, 60), r(2026, 1, 1, 9, 0)}, {{0, 1}}},
        {"29 February of a common year is 1 March",
         {r(2026, 2, 28, 23, 0), r(2026, 2, 29, 0, 0), r(2026, 3, 1, 1, 0)},
         {{0, 2}}},
        {"31 February then 1 March goes back",
         {r(2026, 2, 31, 23, 0), r(2026, 3, 1, 0, 0), r(2026, 3, 1, 1, 0)},
         {{0, 0}, {1, 2}}},
    };
    for (const auto& c : cases) {
        std::vector<std::pair<std::size_t, std::size_t>> got;
        for (const report::Run& run : Runs(c.results)) got.emplace_back(run.first, run.last);
        EXPECT_EQ(got, c.runs) << c.name;
    }
}


template <typename Draw>
std::vector<SvgElement> Drawn(Draw draw) {
    SvgDevice device(QSizeF(760, 320));
    QPainter painter(&device);
    draw(painter, QRectF(0, 0, 760, 320));
    painter.end();
    return ParseSvg(device.Svg(false));
}

std::vector<QPointF> Points(const SvgElement& polyline) {
    std::vector<QPointF> points;
    for (const QString& pair : QString::fromStdString(polyline.attributes.at("points")).split(' ')) {
        const QStringList xy = pair.split(',');
        points.emplace_back(xy[0].toDouble(), xy[1].toDouble());
    }
    return points;
}

TEST(TimeSeries, RunsDotsOverRangeMarksLevelsAndDates) {
    // 10 hourly results, 5 hours without, one alone, 5 hours without, 20 hourly of which two
    // are over the range.
    std::vector<archive::Result> results = Hourly(At(2026, 11, 20, 6), 10, [](int) { return 20; });
    results.push_back(ResultAt(At(2026, 11, 20, 20), 30));
    for (const auto& r : Hourly(At(2026, 11, 21, 2), 20, [](int i) {
             return static_cast<std::uint16_t>(i == 5 || i == 12 ? 0xFFFF : 10 + i);
         })) {
        results.push_back(r);
    }
    // And one two weeks later, so that the axis has several days.
    results.push_back(ResultAt(At(2026, 12, 4, 12), 25));

    for (const std::uint8_t unit : {0, 1}) {
        const auto shapes = Drawn(
            [&](QPainter& p, const QRectF& area) { DrawTimeSeries(p, area, results, unit, 1); });
        std::vector<SvgElement> polylines, ellipses, triangles, texts;
        std::set<std::string> dashPatterns;
        const SvgElement* frame = nullptr;
        for (const SvgElement& s : shapes) {
            if (s.name == "polyline") polylines.push_back(s);
            if (s.name == "ellipse") ellipses.push_back(s);
            if (s.name == "polygon") triangles.push_back(s);
            if (s.name == "text") texts.push_back(s);
            if (s.name == "line" && s.attributes.count("stroke-dasharray")) {
                dashPatterns.insert(s.attributes.at("stroke-dasharray"));
            }
            if (s.name == "rect" && s.attributes.at("fill") == "none") frame = &s;
        }
        ASSERT_NE(frame, nullptr);
        const double top = frame->Number("y");
        const double bottom = top + frame->Number("height");

        ASSERT_EQ(polylines.size(), 2u);
        EXPECT_EQ(Points(polylines[0]).size(), 10u);
        const std::vector<QPointF> second = Points(polylines[1]);
        ASSERT_EQ(second.size(), 20u);
        EXPECT_EQ(ellipses.size(), 2u);  // the one alone and the last
        EXPECT_EQ(triangles.size(), 2u);
        // Time runs to the right; over the range sits at the top; a higher value stands higher.
        for (std::size_t i = 1; i < second.size(); ++i) EXPECT_GT(second[i].x(), second[i - 1].x());
        EXPECT_DOUBLE_EQ(second[5].y(), top);
        EXPECT_DOUBLE_EQ(second[12].y(), top);
        EXPECT_LT(second[11].y(), second[10].y());
        EXPECT_LT(second[0].y(), bottom);
        EXPECT_GT(Points(polylines[0]).back().x(), 0);
        EXPECT_LT(Points(polylines[0]).back().x(), second.front().x());

        // Each reference level has a dash pattern of its own and a label.
        EXPECT_EQ(dashPatterns.size(), unit == 1 ? 3u : 2u);
        std::string allText;
        for (const SvgElement& t : texts) allText += t.text + "\n";
        EXPECT_NE(allText.find("WHO"), std::string::npos);
        EXPECT_EQ(allText.find("US") != std::string::npos, unit == 1);
        // Dates under the axis.
        int dates = 0;
        const QRegularExpression day(QStringLiteral("^\\d{1,2} (Nov|Dec)$"));
        for (const SvgElement& t : texts) {
            if (t.Number("y") > bottom && day.match(QString::fromStdString(t.text)).hasMatch()) {
                ++dates;
            }
        }
        // How many fit depends on the font's widths (Wine's fonts are wider).
        EXPECT_GE(dates, 2) << allText;
    }
}

TEST(HourBars, OneBarPerHourWithResultsInProportion) {
    archive::Summary summary;
    summary.count = 3;
    summary.byHour[3] = {1, 100};
    summary.byHour[4] = {1, 200};
    summary.byHour[20] = {2, 50};
    const auto shapes =
        Drawn([&](QPainter& p, const QRectF& area) { DrawHourBars(p, area, summary, 0, 0); });
    std::vector<SvgElement> bars;
    for (const SvgElement& s : shapes) {
        if (s.name == "rect" && s.attributes.at("fill") == "#b8b8b8") bars.push_back(s);
    }
    ASSERT_EQ(bars.size(), 3u);
    const double bottom = bars[0].Number("y") + bars[0].Number("height");
    // The SVG keeps two decimals of each number.
    EXPECT_NEAR(bars[1].Number("y") + bars[1].Number("height"), bottom, 0.015);
    EXPECT_NEAR(bars[1].Number("height"), 2 * bars[0].Number("height"), 0.05);
    EXPECT_NEAR(bars[2].Number("height"), bars[0].Number("height") / 2, 0.05);
    EXPECT_LT(bars[0].Number("x"), bars[1].Number("x"));
    EXPECT_LT(bars[1].Number("x"), bars[2].Number("x"));
    bool caption = false;
    for (const SvgElement& s : shapes) caption = caption || s.text == "Час суток";
    EXPECT_TRUE(caption);
}

}  // namespace
}  // namespace tavex::report
