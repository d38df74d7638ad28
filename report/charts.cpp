#include "report/charts.h"

#include <QFontMetricsF>
#include <QPainterPath>
#include <QPolygonF>
#include <QString>
#include <algorithm>
#include <cmath>
#include <string>

#include "report/texts.h"

namespace tavex::report {

namespace {

constexpr double kBqPerPci = 37.0;

QString Q(const std::string& utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

// The value axis: from 0 to top in steps, in the unit.
struct Scale {
    double top = 1;
    double step = 1;
    int decimals = 0;
};

// A step of 1, 2 or 5 times a power of ten giving about five steps up to at least max.
Scale NiceScale(double max) {
    Scale scale;
    if (!(max > 0)) max = 1;
    const double rough = max / 5.0;
    const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
    for (const double m : {1.0, 2.0, 5.0, 10.0}) {
        scale.step = m * magnitude;
        if (scale.step >= rough) break;
    }
    scale.top = std::ceil(max / scale.step - 1e-9) * scale.step;
    scale.decimals =
        scale.step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(scale.step) - 1e-9));
    return scale;
}

// How the reference levels are told apart without colour: each has its own dash pattern.
QPen LevelPen(int bq, double pt) {
    QPen pen;
    pen.setCapStyle(Qt::FlatCap);
    if (bq == archive::kReferenceWho) {
        pen.setColor(QColor(0xA0, 0x50, 0x00));
        pen.setWidthF(1.0 * pt);
        pen.setDashPattern({6, 3});
    } else if (bq == archive::kReferenceUs) {
        pen.setColor(QColor(0x60, 0x20, 0x90));
        pen.setWidthF(1.0 * pt);
        pen.setDashPattern({6, 2, 1.5, 2});
    } else {
        pen.setColor(QColor(0xB0, 0x00, 0x20));
        pen.setWidthF(1.4 * pt);
        pen.setDashPattern({1.5, 1.5});
    }
    return pen;
}

std::string LevelName(int bq, int language) {
    if (bq == archive::kReferenceWho) return Text(Caption::Who, language);
    if (bq == archive::kReferenceUs) return Text(Caption::Us, language);
    return Text(Caption::Upper, language);
}

// The frame, value axis and grid shared by both charts: the plot area inside area, left room
// for the value labels, the unit's name above them.
struct Axes {
    QRectF plot;
    Scale scale;
    double Y(double value) const {
        return plot.bottom() - std::clamp(value / scale.top, 0.0, 1.0) * plot.height();
    }
};

Axes DrawValueAxis(QPainter& painter, const QRectF& area, double maxValue, double bottomRoom,
                   std::uint8_t unit, int language) {
    const double pt = PointSize(painter);
    const QFont font = ReportFont(7);
    painter.setFont(font);
    const QFontMetricsF metrics(font, painter.device());
    Axes axes;
    axes.scale = NiceScale(maxValue);
    const Scale& s = axes.scale;
    double labelWidth = 0;
    for (double v = 0; v <= s.top + s.step / 2; v += s.step) {
        labelWidth = std::max(
            labelWidth, metrics.horizontalAdvance(Q(archive::Decimal(v, s.decimals, language))));
    }
    axes.plot = area.adjusted(labelWidth + 5 * pt, metrics.height() + 3 * pt, -4 * pt, -bottomRoom);
    const QRectF& plot = axes.plot;

    painter.setPen(Qt::black);
    painter.drawText(QRectF(plot.left(), area.top(), plot.width(), metrics.height()),
                     Qt::AlignLeft | Qt::AlignTop, Q(UnitName(unit, language)));
    QPen grid(QColor(0xC8, 0xC8, 0xC8));
    grid.setWidthF(0.4 * pt);
    const int steps = static_cast<int>(std::lround(s.top / s.step));
    for (int i = 0; i <= steps; ++i) {
        const double v = i * s.step;
        const double y = axes.Y(v);
        if (i > 0) {
            painter.setPen(grid);
            painter.drawLine(QLineF(plot.left(), y, plot.right(), y));
        }
        painter.setPen(Qt::black);
        painter.drawText(
            QRectF(area.left(), y - metrics.height() / 2, labelWidth + 2 * pt, metrics.height()),
            Qt::AlignRight | Qt::AlignVCenter, Q(archive::Decimal(v, s.decimals, language)));
    }
    return axes;
}

void DrawFrame(QPainter& painter, const QRectF& plot) {
    QPen frame(Qt::black);
    frame.setWidthF(0.6 * PointSize(painter));
    painter.setPen(frame);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(plot);
}

// The reference lines across the plot.
void DrawLevelLines(QPainter& painter, const Axes& axes, std::uint8_t unit) {
    const double pt = PointSize(painter);
    for (const int level : ReferenceLevels(unit)) {
        const double y = axes.Y(Shown(level, unit));
        painter.setPen(LevelPen(level, pt));
        painter.drawLine(QLineF(axes.plot.left(), y, axes.plot.right(), y));
    }
}

// Each reference line's label at its right end, over what was drawn: a label that would cover
// the one below moves up.
void DrawLevelLabels(QPainter& painter, const Axes& axes, std::uint8_t unit, int language) {
    const double pt = PointSize(painter);
    const QFont font = ReportFont(6.5);
    painter.setFont(font);
    const QFontMetricsF metrics(font, painter.device());
    double lowestFree = axes.plot.bottom();
    for (const int level : ReferenceLevels(unit)) {
        const double y = axes.Y(Shown(level, unit));
        const QString label = Q(WithUnit(level, unit, language) + " " + LevelName(level, language));
        const double width = metrics.horizontalAdvance(label) + 3 * pt;
        const double height = metrics.height();
        double top = std::min(y - height - 0.5 * pt, lowestFree - height);
        top = std::max(top, axes.plot.top());
        const QRectF box(axes.plot.right() - width - 2 * pt, top, width, height);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(255, 255, 255, 225));
        painter.drawRect(box);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(LevelPen(level, pt).color());
        painter.drawText(box, Qt::AlignCenter, label);
        lowestFree = top;
    }
}

struct Tick {
    std::int64_t minute = 0;
    std::string label;
};

std::string DayLabel(const archive::Day& day, int language) {
    return std::to_string(day.day) + " " + ShortMonth(day.month, language);
}

std::string TwoDigits(int n) {
    return (n < 10 ? "0" : "") + std::to_string(n);
}

// Date ticks between the minutes first and last, at most maxTicks: hours, days, weeks (from
// Mondays) or months, whichever is the finest that fits.
std::vector<Tick> DateTicks(std::int64_t first, std::int64_t last, int maxTicks, int language) {
    std::vector<Tick> ticks;
    constexpr std::int64_t kDay = 1440;
    constexpr std::int64_t kMonday = 2 * kDay;  // 2000-01-03
    const std::int64_t steps[] = {60, 120, 180, 360, 720, kDay, 2 * kDay, 7 * kDay, 14 * kDay};
    for (const std::int64_t step : steps) {
        const std::int64_t offset = step >= 7 * kDay ? kMonday : 0;
        const auto floorDiv = [](std::int64_t a, std::int64_t b) {
            return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
        };
        const std::int64_t from = floorDiv(first - offset + step - 1, step);
        const std::int64_t to = floorDiv(last - offset, step);
        if (to - from + 1 > maxTicks) continue;
        for (std::int64_t k = from; k <= to; ++k) {
            const std::int64_t minute = offset + k * step;
            const std::int64_t dayNumber = floorDiv(minute, kDay);
            const std::int64_t inDay = minute - dayNumber * kDay;
            std::string label = inDay == 0 ? DayLabel(CivilFromDays(dayNumber), language)
                                           : TwoDigits(static_cast<int>(inDay / 60)) + ":00";
            ticks.push_back({minute, label});
        }
        return ticks;
    }
    const archive::Day start = CivilFromDays(first / kDay);
    for (const int months : {1, 2, 3, 6, 12, 24, 60, 120}) {
        ticks.clear();
        int year = start.year;
        int month = start.month;
        for (int guard = 0; guard < 100000; ++guard) {
            const std::int64_t minute = DaysFromCivil(year, month, 1) * kDay;
            if (minute > last) break;
            const int index = year * 12 + month - 1;
            if (minute >= first && index % months == 0) {
                ticks.push_back({minute, months >= 12 ? std::to_string(year)
                                                      : ShortMonth(month, language) + " " +
                                                            std::to_string(year)});
            }
            if (++month > 12) {
                month = 1;
                ++year;
            }
        }
        if (static_cast<int>(ticks.size()) <= maxTicks) return ticks;
    }
    return ticks;
}

}  // namespace

QFont ReportFont(double points, bool bold) {
    QFont font;
    font.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

double PointSize(const QPainter& painter) {
    return painter.device()->logicalDpiY() / 72.0;
}

// Days of a date counted from 1 March of year 0, by eras of 400 years; the day of the month
// is added as it is, so that a day past the month's end counts on.
std::int64_t DaysFromCivil(int year, int month, int day) {
    std::int64_t y = year;
    std::int64_t m = month;
    // Months outside 1-12 carry into the year.
    y += (m - 1 >= 0 ? (m - 1) / 12 : -((12 - m) / 12));
    m = ((m - 1) % 12 + 12) % 12 + 1;
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 730425;  // 2000-01-01 is day 730425 of this count
}

archive::Day CivilFromDays(std::int64_t days) {
    const std::int64_t z = days + 730425;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    return {static_cast<int>(y), static_cast<int>(m), static_cast<int>(d)};
}

std::int64_t MinuteOf(const archive::Result& result) {
    return DaysFromCivil(result.year, result.month, result.day) * 1440 + result.hour * 60 +
           result.minute;
}

std::vector<Run> Runs(const std::vector<archive::Result>& results) {
    std::vector<Run> runs;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const bool joined = i > 0 && [&] {
            const std::int64_t step = MinuteOf(results[i]) - MinuteOf(results[i - 1]);
            return step >= 0 && step <= kGapMinutes;
        }();
        if (joined) {
            runs.back().last = i;
        } else {
            runs.push_back({i, i});
        }
    }
    return runs;
}

void DrawTimeSeries(QPainter& painter, const QRectF& area,
                    const std::vector<archive::Result>& results, std::uint8_t unit, int language) {
    painter.save();
    const double pt = PointSize(painter);
    const double factor = unit == 1 ? kBqPerPci : 1.0;
    const std::vector<int> levels = ReferenceLevels(unit);

    // The values as counted (a result over the range stands at the top of the plot), and the
    // time span.
    std::vector<double> values(results.size());
    std::vector<bool> overRange(results.size());
    double maxValue = Shown(levels.back(), unit) * 1.15;
    std::int64_t first = 0;
    std::int64_t last = 0;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const archive::BqValue value = archive::BqOf(results[i].raw);
        values[i] = value.bq / factor;
        overRange[i] = value.overRange;
        if (!value.overRange) maxValue = std::max(maxValue, values[i]);
        const std::int64_t minute = MinuteOf(results[i]);
        first = i == 0 ? minute : std::min(first, minute);
        last = i == 0 ? minute : std::max(last, minute);
    }

    const QFont font = ReportFont(7);
    const QFontMetricsF metrics(font, painter.device());
    const Axes axes =
        DrawValueAxis(painter, area, maxValue, metrics.height() + 5 * pt, unit, language);
    const QRectF& plot = axes.plot;
    if (results.empty()) {
        painter.setPen(Qt::black);
        painter.drawText(plot, Qt::AlignCenter, Q(Text(Caption::NoResults, language)));
        DrawFrame(painter, plot);
        painter.restore();
        return;
    }
    if (last - first < 60) {
        // A single time: an hour either side of it.
        first -= 60;
        last += 60;
    }
    const double span = static_cast<double>(last - first);
    const auto x = [&](std::int64_t minute) {
        return plot.left() + static_cast<double>(minute - first) / span * plot.width();
    };

    // Dates along the axis, a label dropped where it would run into the one before.
    painter.setFont(font);
    const double labelWidth =
        metrics.horizontalAdvance(Q(DayLabel({2026, 11, 28}, language) + " 2026"));
    const int maxTicks = std::max(2, static_cast<int>(plot.width() / (labelWidth + 6 * pt)));
    QPen tickPen(Qt::black);
    tickPen.setWidthF(0.6 * pt);
    double freeFrom = area.left();
    for (const Tick& tick : DateTicks(first, last, maxTicks, language)) {
        const double tx = x(tick.minute);
        painter.setPen(tickPen);
        painter.drawLine(QLineF(tx, plot.bottom(), tx, plot.bottom() + 3 * pt));
        const QString label = Q(tick.label);
        const double width = metrics.horizontalAdvance(label);
        const double left = std::clamp(tx - width / 2, area.left(), area.right() - width);
        if (left < freeFrom) continue;
        painter.setPen(Qt::black);
        painter.drawText(QPointF(left, plot.bottom() + 3.5 * pt + metrics.ascent()), label);
        freeFrom = left + width + 3 * pt;
    }

    DrawLevelLines(painter, axes, unit);

    // The results, one joined line per run; a run of one result is a dot.
    // A thinner line where the results lie closer than a point apart.
    QPen line(QColor(0x10, 0x10, 0x10));
    line.setWidthF((static_cast<double>(results.size()) > plot.width() / pt ? 0.35 : 0.6) * pt);
    line.setJoinStyle(Qt::RoundJoin);
    line.setCapStyle(Qt::RoundCap);
    const auto point = [&](std::size_t i) {
        return QPointF(x(MinuteOf(results[i])), overRange[i] ? plot.top() : axes.Y(values[i]));
    };
    for (const Run& run : Runs(results)) {
        if (run.first == run.last) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(line.color());
            const QPointF p = point(run.first);
            painter.drawEllipse(p, 0.9 * pt, 0.9 * pt);
            painter.setBrush(Qt::NoBrush);
            continue;
        }
        QPolygonF polyline;
        polyline.reserve(static_cast<qsizetype>(run.last - run.first + 1));
        for (std::size_t i = run.first; i <= run.last; ++i) polyline.append(point(i));
        painter.setPen(line);
        painter.drawPolyline(polyline);
    }
    // Results over the range: a mark at the top, as their value is off the scale.
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (!overRange[i]) continue;
        const QPointF p = point(i);
        const QPointF triangle[3] = {QPointF(p.x(), p.y() + 0.5 * pt),
                                     QPointF(p.x() - 2.2 * pt, p.y() + 4 * pt),
                                     QPointF(p.x() + 2.2 * pt, p.y() + 4 * pt)};
        painter.drawPolygon(triangle, 3);
    }
    painter.setBrush(Qt::NoBrush);
    DrawLevelLabels(painter, axes, unit, language);
    DrawFrame(painter, plot);
    painter.restore();
}

void DrawHourBars(QPainter& painter, const QRectF& area, const archive::Summary& summary,
                  std::uint8_t unit, int language) {
    painter.save();
    const double pt = PointSize(painter);
    const double factor = unit == 1 ? kBqPerPci : 1.0;
    double maxValue = Shown(ReferenceLevels(unit).back(), unit) * 1.15;
    for (const archive::Mean& mean : summary.byHour) {
        if (mean.count > 0) maxValue = std::max(maxValue, mean.bq / factor);
    }
    const QFont font = ReportFont(7);
    const QFontMetricsF metrics(font, painter.device());
    const Axes axes =
        DrawValueAxis(painter, area, maxValue, 2 * metrics.height() + 5 * pt, unit, language);
    const QRectF& plot = axes.plot;

    const double slot = plot.width() / 24;
    QPen outline(Qt::black);
    outline.setWidthF(0.5 * pt);
    const int labelEvery = metrics.horizontalAdvance(QStringLiteral("00")) + 2 * pt <= slot ? 1 : 3;
    painter.setFont(font);
    for (int hour = 0; hour < 24; ++hour) {
        const archive::Mean& mean = summary.byHour[static_cast<std::size_t>(hour)];
        const double left = plot.left() + hour * slot;
        if (mean.count > 0) {
            const double top = axes.Y(mean.bq / factor);
            painter.setPen(outline);
            painter.setBrush(QColor(0xB8, 0xB8, 0xB8));
            painter.drawRect(QRectF(left + slot * 0.15, top, slot * 0.7, plot.bottom() - top));
            painter.setBrush(Qt::NoBrush);
        }
        if (hour % labelEvery == 0) {
            painter.setPen(Qt::black);
            painter.drawText(QRectF(left, plot.bottom() + 2 * pt, slot, metrics.height()),
                             Qt::AlignHCenter | Qt::AlignTop, QString::number(hour));
        }
    }
    painter.setPen(Qt::black);
    painter.drawText(QRectF(plot.left(), plot.bottom() + 2 * pt + metrics.height(), plot.width(),
                            metrics.height()),
                     Qt::AlignHCenter | Qt::AlignTop, Q(Text(Caption::HourOfDay, language)));
    DrawLevelLines(painter, axes, unit);
    DrawLevelLabels(painter, axes, unit, language);
    DrawFrame(painter, plot);
    painter.restore();
}

}  // namespace tavex::report
