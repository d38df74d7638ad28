#pragma once

#include <QFont>
#include <QPainter>
#include <QRectF>
#include <cstdint>
#include <vector>

#include "archive/archive.h"
#include "archive/summary.h"

// The report's charts, painted with a QPainter onto whatever device it was given: a PDF page, an
// image or the SVG device. Sizes are in points, converted with the device's resolution; black and
// white with greys, the reference levels told apart by their dash patterns and labels.
namespace tavex::report {

// The report's typeface at a size in points: Arial, or a sans-serif face with the same measures.
QFont ReportFont(double points, bool bold = false);
// Device units per point on the painter's device.
double PointSize(const QPainter& painter);

// Days from 2000-01-01 to the date, taken arithmetically: a day past the month's end (31
// February) counts on into the next month, as the meter's stored dates may need.
std::int64_t DaysFromCivil(int year, int month, int day);
// The calendar date of a day counted from 2000-01-01.
archive::Day CivilFromDays(std::int64_t days);
// The result's minute counted from 2000-01-01 00:00, from its fields as stored.
std::int64_t MinuteOf(const archive::Result& result);

// Consecutive results further apart than this are not joined: the meter stores a result an hour
// at most, so a longer gap is time without results.
inline constexpr std::int64_t kGapMinutes = 180;

// Index ranges [first, last] of results drawn as one joined line: a new run starts after a gap
// and wherever the stored time goes back.
struct Run {
    std::size_t first = 0;
    std::size_t last = 0;
};
std::vector<Run> Runs(const std::vector<archive::Result>& results);

// Every result over time, the reference levels as labelled lines, dates along the axis.
void DrawTimeSeries(QPainter& painter, const QRectF& area,
                    const std::vector<archive::Result>& results, std::uint8_t unit, int language);
// The mean by hour of day as 24 bars, with the reference levels.
void DrawHourBars(QPainter& painter, const QRectF& area, const archive::Summary& summary,
                  std::uint8_t unit, int language);

}  // namespace tavex::report
