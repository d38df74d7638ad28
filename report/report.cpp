#include "report/report.h"

#include <QBuffer>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <functional>

#include "fileio/safe_file.h"
#include "instrument/results.h"
#include "report/charts.h"
#include "report/svg_device.h"
#include "report/texts.h"

namespace tavex::report {

namespace {

QString Q(const std::string& utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

int Language(const ReportRequest& request) {
    return request.language == 1 ? 1 : 0;
}

// ---- values of the results table ----

std::string ValueText(const ConvertedValue& value, std::uint8_t unit, int language) {
    std::string text = std::to_string(value.integer);
    if (unit == 1) text += (language == 1 ? "." : ",") + std::to_string(value.tenths);
    return text;
}

// A result's value as the exports show it, marked "<" below the lower limit and ">" over the
// range (where it shows the value it is counted at), both by the Bq/m3 rules as the summary
// counts them.
std::string ValueCell(std::uint16_t raw, std::uint8_t unit, int language) {
    const archive::BqValue bq = archive::BqOf(raw);
    if (bq.overRange) return ">" + archive::InUnit(bq.bq, unit, language);
    const ConvertedValue value = ConvertValue(raw, unit);
    // Just under the Bq/m3 top the pCi/l scale has already ended: the value as counted.
    if (value.overRange) return archive::InUnit(bq.bq, unit, language);
    return (bq.belowLimit ? "<" : "") + ValueText(value, unit, language);
}

std::string MarksLegend(std::uint8_t unit, int language) {
    const std::string below = ValueCell(0, unit, language);
    const std::string over = ValueCell(0xFFFF, unit, language);
    return below + ": " + Text(Caption::MarkBelow, language) + " " +
           WithUnit(archive::BqOf(0).bq, unit, language) + ";  " + over + ": " +
           Text(Caption::MarkOver, language) + " " +
           WithUnit(archive::BqOf(0xFFFF).bq, unit, language) + ".";
}

// ---- the summary's lines ----

struct Fact {
    std::string label;
    std::string value;
};

std::vector<Fact> HeaderFacts(const ReportRequest& request) {
    const int language = Language(request);
    return {
        {Text(Caption::Meter, language), request.model},
        {Text(Caption::Period, language), PeriodText(request.period, request.summary, language)},
        {Text(Caption::Results, language), std::to_string(request.summary.count)},
        {Text(Caption::ReportDate, language),
         DayText(request.date.year, request.date.month, request.date.day, language)},
    };
}

std::vector<Fact> SummaryFacts(const ReportRequest& request) {
    const int language = Language(request);
    const std::uint8_t unit = request.unit;
    const archive::Summary& s = request.summary;
    if (s.count == 0) return {};
    const bool over = s.overRange > 0;
    const bool below = s.belowLimit > 0;
    std::string mean = MeanWithUnit(s.meanBq, unit, language);
    if (over && !below) mean = "≥ " + mean;
    std::string lowest = WithUnit(s.minBq, unit, language);
    if (below && s.minBq <= archive::BqOf(0).bq)
        lowest = ValueCell(0, unit, language) + " " + UnitName(unit, language);
    std::string highest = WithUnit(s.maxBq, unit, language);
    if (over) highest = ValueCell(0xFFFF, unit, language) + " " + UnitName(unit, language);
    const std::string atOrAbove = Text(Caption::AtOrAbove, language) + " ";
    return {
        {Text(Caption::Mean, language), mean},
        {atOrAbove + WithUnit(archive::kReferenceWho, unit, language),
         std::to_string(s.atOrAbove100)},
        {Text(Caption::Median, language), MeanWithUnit(s.medianBq, unit, language)},
        {atOrAbove + WithUnit(archive::kReferenceUpper, unit, language),
         std::to_string(s.atOrAbove300)},
        {Text(Caption::Lowest, language), lowest},
        {Text(Caption::BelowLimit, language), std::to_string(s.belowLimit)},
        {Text(Caption::Highest, language), highest},
        {Text(Caption::OverRange, language), std::to_string(s.overRange)},
        {Text(Caption::First, language), s.first ? TimeText(*s.first, language) : "–"},
        {Text(Caption::Days, language), std::to_string(s.days)},
        {Text(Caption::Last, language), s.last ? TimeText(*s.last, language) : "–"},
    };
}

// ---- the PDF pages ----

constexpr double kPageWidth = 210;  // mm, A4
constexpr double kPageHeight = 297;
constexpr double kMargin = 15;
constexpr double kContentWidth = kPageWidth - 2 * kMargin;
constexpr double kContentTop = 14;
constexpr double kContentBottom = kPageHeight - 16;
constexpr double kHeadingHeight = 7;
constexpr double kRowHeight = 3.8;
constexpr int kResultGroups = 4;
constexpr int kMonthGroups = 3;
constexpr double kTimeSeriesHeight = 78;
constexpr double kHourBarsHeight = 50;

struct Page {
    enum Kind { Overview, Months, Results } kind = Overview;
    // The rows of the table the page holds (months on the overview and month pages).
    std::size_t first = 0;
    std::size_t count = 0;
    int rowsPerGroup = 0;
};

struct Column {
    double width;  // mm
    bool right;    // aligned to the right
    std::string caption;
};

// Paints the report's pages onto a painter already begun on an A4 device, in millimetres
// converted with the device's resolution.
class Sheets {
public:
    Sheets(const ReportRequest& request, QPainter& painter)
        : request_(request),
          painter_(painter),
          language_(Language(request)),
          mm_(painter.device()->logicalDpiX() / 25.4) {}

    std::vector<Page> Plan() {
        std::vector<Page> pages;
        const double overviewEnd = Overview(false);
        const std::size_t months = request_.summary.byMonth.size();
        std::size_t placed = 0;
        const int firstRows = static_cast<int>(
            (kContentBottom - overviewEnd - kHeadingHeight - kRowHeight * 1.3) / kRowHeight);
        Page overview;
        const std::size_t needed = (months + kMonthGroups - 1) / kMonthGroups;
        if (months > 0 && firstRows > 0 &&
            static_cast<std::size_t>(firstRows) >= std::min<std::size_t>(3, needed)) {
            overview.first = 0;
            overview.count = std::min(months, static_cast<std::size_t>(firstRows) * kMonthGroups);
            overview.rowsPerGroup =
                static_cast<int>((overview.count + kMonthGroups - 1) / kMonthGroups);
            placed = overview.count;
        }
        pages.push_back(overview);
        Flow(pages, Page::Months, placed, months, kMonthGroups);
        Flow(pages, Page::Results, 0, request_.results.size(), kResultGroups);
        return pages;
    }

    void Paint(const Page& page, int number, int total) {
        painter_.save();
        double y = kContentTop;
        if (page.kind == Page::Overview) {
            y = Overview(true);
            if (page.count > 0) MonthTable(page, y);
        } else if (page.kind == Page::Months) {
            MonthTable(page, y);
        } else {
            ResultTable(page, y);
        }
        Footer(number, total);
        painter_.restore();
    }

private:
    QRectF Mm(double x, double y, double width, double height) const {
        return QRectF(x * mm_, y * mm_, width * mm_, height * mm_);
    }
    // The height of a point size's line, in mm.
    double LineHeight(const QFont& font) const {
        return QFontMetricsF(font, painter_.device()).height() / mm_;
    }

    void Flow(std::vector<Page>& pages, Page::Kind kind, std::size_t placed, std::size_t total,
              int groups) const {
        const double tableTop = kContentTop + kHeadingHeight + (kind == Page::Results ? 5 : 0);
        const int rows = std::max(
            1, static_cast<int>((kContentBottom - tableTop - kRowHeight * 1.3) / kRowHeight));
        const std::size_t capacity = static_cast<std::size_t>(rows) * groups;
        while (placed < total) {
            Page page;
            page.kind = kind;
            page.first = placed;
            page.count = std::min(capacity, total - placed);
            page.rowsPerGroup = static_cast<int>((page.count + groups - 1) / groups);
            pages.push_back(page);
            placed += page.count;
        }
    }

    void Heading(const std::string& text, double& y) {
        const QFont font = ReportFont(11, true);
        painter_.setFont(font);
        painter_.setPen(Qt::black);
        painter_.drawText(Mm(kMargin, y, kContentWidth, kHeadingHeight),
                          Qt::AlignLeft | Qt::AlignVCenter, Q(text));
        y += kHeadingHeight;
    }

    // Labels and values in pairs of columns, row by row; returns the height in mm.
    double Facts(const std::vector<Fact>& facts, double y, double points, double labelWidth,
                 bool paint) {
        const QFont plain = ReportFont(points);
        const QFont bold = ReportFont(points, true);
        const double row = LineHeight(plain) * 1.25;
        const double column = kContentWidth / 2;
        for (std::size_t i = 0; paint && i < facts.size(); ++i) {
            const double x = kMargin + (i % 2) * column;
            const double top = y + (i / 2) * row;
            painter_.setPen(Qt::black);
            painter_.setFont(plain);
            painter_.drawText(Mm(x, top, labelWidth, row), Qt::AlignLeft | Qt::AlignVCenter,
                              Q(facts[i].label));
            painter_.setFont(bold);
            painter_.drawText(Mm(x + labelWidth, top, column - labelWidth - 2, row),
                              Qt::AlignLeft | Qt::AlignVCenter, Q(facts[i].value));
        }
        return row * static_cast<double>((facts.size() + 1) / 2);
    }

    // The first page down to the hour bars; returns where it ends, in mm.
    double Overview(bool paint) {
        const archive::Summary& summary = request_.summary;
        double y = kContentTop;
        if (paint) {
            painter_.setFont(ReportFont(17, true));
            painter_.setPen(Qt::black);
            painter_.drawText(Mm(kMargin, y, kContentWidth, 10), Qt::AlignLeft | Qt::AlignVCenter,
                              Q(Text(Caption::Title, language_)));
        }
        y += 11;
        y += Facts(HeaderFacts(request_), y, 9.5, 30, paint) + 3;

        if (paint)
            Heading(Text(Caption::Summary, language_), y);
        else
            y += kHeadingHeight;
        y += Facts(SummaryFacts(request_), y, 8.5, 46, paint) + 3;

        // The sentence, in a box with a bar on its left.
        const QFont font = ReportFont(10);
        const QString verdict = Q(Verdict(summary, request_.unit, language_));
        const QRectF textArea = Mm(kMargin + 4, y + 2, kContentWidth - 7, 100);
        const QRectF bounds = QFontMetricsF(font, painter_.device())
                                  .boundingRect(textArea, Qt::TextWordWrap, verdict);
        const double height = bounds.height() / mm_ + 4;
        if (paint) {
            painter_.setPen(Qt::NoPen);
            painter_.setBrush(QColor(0xEE, 0xEE, 0xEE));
            painter_.drawRect(Mm(kMargin, y, kContentWidth, height));
            painter_.setBrush(Qt::black);
            painter_.drawRect(Mm(kMargin, y, 1.2, height));
            painter_.setBrush(Qt::NoBrush);
            painter_.setPen(Qt::black);
            painter_.setFont(font);
            painter_.drawText(textArea, Qt::TextWordWrap, verdict);
        }
        y += height + 3;

        if (paint) {
            Heading(Text(Caption::EveryResult, language_), y);
            DrawTimeSeries(painter_, Mm(kMargin, y, kContentWidth, kTimeSeriesHeight),
                           request_.results, request_.unit, language_);
        } else {
            y += kHeadingHeight;
        }
        y += kTimeSeriesHeight + 2;
        if (paint) {
            Heading(Text(Caption::ByHour, language_), y);
            DrawHourBars(painter_, Mm(kMargin, y, kContentWidth, kHourBarsHeight), summary,
                         request_.unit, language_);
        } else {
            y += kHeadingHeight;
        }
        return y + kHourBarsHeight + 2;
    }

    // Rows first..first+count of a table in groups side by side, each group read downwards.
    void Table(double y, const std::vector<Column>& columns, int groups, const Page& page,
               const std::function<void(std::size_t, std::string*)>& cellsOf) {
        const double groupWidth = kContentWidth / groups;
        const QFont plain = ReportFont(7);
        const QFont bold = ReportFont(7, true);
        const QFontMetricsF metrics(plain, painter_.device());
        const double baseline = (kRowHeight * mm_ - metrics.height()) / 2 + metrics.ascent();
        QPen rule(QColor(0x90, 0x90, 0x90));
        rule.setWidthF(0.2 * mm_);
        QPen light(QColor(0xD0, 0xD0, 0xD0));
        light.setWidthF(0.15 * mm_);
        const std::size_t columnCount = columns.size();
        std::vector<std::string> cells(columnCount);
        const double headerHeight = kRowHeight * 1.3;
        for (int g = 0; g < groups; ++g) {
            const std::size_t first = page.first + static_cast<std::size_t>(g) * page.rowsPerGroup;
            if (first >= page.first + page.count) break;
            const std::size_t last = std::min(first + static_cast<std::size_t>(page.rowsPerGroup),
                                              page.first + page.count);
            const double left = kMargin + g * groupWidth;
            // Header.
            painter_.setFont(bold);
            painter_.setPen(Qt::black);
            double x = left;
            for (const Column& column : columns) {
                painter_.drawText(
                    Mm(x, y, column.width, headerHeight),
                    (column.right ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter,
                    Q(column.caption));
                x += column.width + 1;
            }
            painter_.setPen(rule);
            painter_.drawLine(QLineF(left * mm_, (y + headerHeight) * mm_,
                                     (left + groupWidth - 2) * mm_, (y + headerHeight) * mm_));
            // Rows, a light rule after every fifth.
            painter_.setFont(plain);
            for (std::size_t row = first; row < last; ++row) {
                const double top = (y + headerHeight + (row - first) * kRowHeight) * mm_;
                cellsOf(row, cells.data());
                painter_.setPen(Qt::black);
                double cx = left * mm_;
                for (std::size_t c = 0; c < columnCount; ++c) {
                    const QString text = Q(cells[c]);
                    const double width = columns[c].width * mm_;
                    const double tx =
                        columns[c].right ? cx + width - metrics.horizontalAdvance(text) : cx;
                    painter_.drawText(QPointF(tx, top + baseline), text);
                    cx += width + mm_;
                }
                if ((row - first) % 5 == 4 && row + 1 < last) {
                    painter_.setPen(light);
                    const double ry = top + kRowHeight * mm_;
                    painter_.drawLine(QLineF(left * mm_, ry, (left + groupWidth - 2) * mm_, ry));
                }
            }
        }
    }

    void MonthTable(const Page& page, double y) {
        Heading(Text(Caption::ByMonth, language_) + ", " + UnitName(request_.unit, language_), y);
        const std::vector<Column> columns = {
            {24, false, Text(Caption::Month, language_)},
            {16, true, Text(Caption::Count, language_)},
            {13, true, Text(Caption::Mean, language_)},
        };
        const auto& months = request_.summary.byMonth;
        Table(y, columns, kMonthGroups, page, [&](std::size_t row, std::string* cells) {
            const archive::MonthMean& m = months[row];
            cells[0] = MonthText(m.year, m.month, language_);
            cells[1] = std::to_string(m.mean.count);
            cells[2] = archive::InUnit(m.mean.bq, request_.unit, language_);
        });
    }

    void ResultTable(const Page& page, double y) {
        Heading(Text(Caption::AllResults, language_), y);
        painter_.setFont(ReportFont(7));
        painter_.setPen(Qt::black);
        painter_.drawText(Mm(kMargin, y - 1, kContentWidth, 5), Qt::AlignLeft | Qt::AlignVCenter,
                          Q(MarksLegend(request_.unit, language_)));
        y += 5;
        const std::vector<Column> columns = {
            {8, true, Text(Caption::Number, language_)},
            {23.5, false, Text(Caption::Time, language_)},
            {10, true, UnitName(request_.unit, language_)},
        };
        const auto& results = request_.results;
        Table(y, columns, kResultGroups, page, [&](std::size_t row, std::string* cells) {
            cells[0] = std::to_string(row + 1);
            cells[1] = TimeText(results[row], language_);
            cells[2] = ValueCell(results[row].raw, request_.unit, language_);
        });
    }

    void Footer(int number, int total) {
        painter_.setFont(ReportFont(7));
        painter_.setPen(QColor(0x40, 0x40, 0x40));
        const QRectF line = Mm(kMargin, kPageHeight - 12, kContentWidth, 5);
        painter_.drawText(
            line, Qt::AlignLeft | Qt::AlignVCenter,
            Q(request_.model + " · " + Text(Caption::Title, language_) + " · " +
              DayText(request_.date.year, request_.date.month, request_.date.day, language_)));
        painter_.drawText(line, Qt::AlignRight | Qt::AlignVCenter,
                          Q(Text(Caption::Page, language_) + " " + std::to_string(number) + " / " +
                            std::to_string(total)));
    }

    const ReportRequest& request_;
    QPainter& painter_;
    const int language_;
    const double mm_;  // device units per millimetre
};

// Fonts need the application object of Qt Gui, not any application object.
bool GuiReady() {
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

// ---- the HTML page ----

constexpr const char* kStyle = R"(
body { font-family: Arial, "Liberation Sans", "DejaVu Sans", sans-serif; color: #000;
       background: #fff; max-width: 60em; margin: 1.5em auto; padding: 0 1em; }
h1 { font-size: 1.6em; margin-bottom: 0.4em; }
h2 { font-size: 1.15em; margin: 1.4em 0 0.4em; }
table { border-collapse: collapse; }
th, td { padding: 0.15em 0.8em 0.15em 0; text-align: left; vertical-align: top; }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; }
.facts th, .summary th { font-weight: normal; }
.facts td, .summary td { font-weight: bold; }
.verdict { border-left: 0.3em solid #000; background: #eee; padding: 0.5em 0.8em;
           font-size: 1.05em; }
.chart svg { max-width: 100%; height: auto; }
.months td, .results td { border-bottom: 1px solid #ddd; }
.legend { font-size: 0.9em; }
@media print { body { max-width: none; margin: 0; } h2 { break-after: avoid; } }
)";

std::string Html(const std::string& text) {
    return XmlEscaped(text);
}

std::string ChartSvg(const std::function<void(QPainter&, const QRectF&)>& draw, double width,
                     double height) {
    SvgDevice device(QSizeF(width, height));
    QPainter painter(&device);
    draw(painter, QRectF(0, 0, width, height));
    painter.end();
    return device.Svg(false);
}

}  // namespace

bool RenderPdf(const ReportRequest& request, std::string& pdf, std::string& error) {
    if (!GuiReady()) {
        error = "the report needs the program's graphics set up first";
        return false;
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::WriteOnly)) {
        error = "could not start the PDF document in memory";
        return false;
    }
    {
        QPdfWriter writer(&buffer);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                         QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter));
        writer.setResolution(1200);
        writer.setTitle(Q(Text(Caption::Title, Language(request))));
        writer.setCreator(QStringLiteral("Tavex"));
        QPainter painter;
        if (!painter.begin(&writer)) {
            error = "could not start the PDF document";
            return false;
        }
        Sheets sheets(request, painter);
        const std::vector<Page> pages = sheets.Plan();
        const int total = static_cast<int>(pages.size());
        for (int i = 0; i < total; ++i) {
            if (i > 0 && !writer.newPage()) {
                painter.end();
                error = "could not add a page to the PDF document";
                return false;
            }
            sheets.Paint(pages[static_cast<std::size_t>(i)], i + 1, total);
        }
        if (!painter.end()) {
            error = "could not finish the PDF document";
            return false;
        }
    }
    pdf.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    if (pdf.empty()) {
        error = "the PDF document came out empty";
        return false;
    }
    return true;
}

QImage RenderPageImage(const ReportRequest& request, int page, int dpi) {
    if (!GuiReady() || page < 0 || dpi < 10 || dpi > 600) return QImage();
    const int width = static_cast<int>(std::lround(kPageWidth / 25.4 * dpi));
    const int height = static_cast<int>(std::lround(kPageHeight / 25.4 * dpi));
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull()) return QImage();
    const int dotsPerMeter = static_cast<int>(std::lround(dpi / 0.0254));
    image.setDotsPerMeterX(dotsPerMeter);
    image.setDotsPerMeterY(dotsPerMeter);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    Sheets sheets(request, painter);
    const std::vector<Page> pages = sheets.Plan();
    if (page >= static_cast<int>(pages.size())) return QImage();
    sheets.Paint(pages[static_cast<std::size_t>(page)], page + 1, static_cast<int>(pages.size()));
    painter.end();
    return image;
}

std::string RenderHtml(const ReportRequest& request) {
    const int language = Language(request);
    const std::uint8_t unit = request.unit;
    const archive::Summary& summary = request.summary;
    std::string html;
    html.reserve(4096 + request.results.size() * 80);
    html += "<!DOCTYPE html>\n<html lang=\"";
    html += language == 1 ? "en" : "ru";
    // Written so that it also reads as XML: void elements closed, only XML's own entities.
    html +=
        "\">\n<head>\n<meta charset=\"utf-8\" />\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\" />\n<title>";
    html += Html(Text(Caption::Title, language) + " — " + request.model);
    html += "</title>\n<style>";
    html += kStyle;
    html += "</style>\n</head>\n<body>\n<h1>" + Html(Text(Caption::Title, language)) + "</h1>\n";

    html += "<table class=\"facts\">\n";
    for (const Fact& fact : HeaderFacts(request)) {
        html += "<tr><th>" + Html(fact.label) + "</th><td>" + Html(fact.value) + "</td></tr>\n";
    }
    html += "</table>\n";

    html += "<h2>" + Html(Text(Caption::Summary, language)) + "</h2>\n";
    const std::vector<Fact> facts = SummaryFacts(request);
    if (!facts.empty()) {
        html += "<table class=\"summary\">\n";
        for (const Fact& fact : facts) {
            html += "<tr><th>" + Html(fact.label) + "</th><td>" + Html(fact.value) + "</td></tr>\n";
        }
        html += "</table>\n";
    }
    html += "<p class=\"verdict\">" + Html(Verdict(summary, unit, language)) + "</p>\n";

    // The charts need the program's graphics (fonts); without them the page has none.
    if (GuiReady()) {
        html +=
            "<h2>" + Html(Text(Caption::EveryResult, language)) + "</h2>\n<div class=\"chart\">";
        html += ChartSvg(
            [&](QPainter& painter, const QRectF& area) {
                DrawTimeSeries(painter, area.adjusted(4, 4, -4, -4), request.results, unit,
                               language);
            },
            760, 320);
        html +=
            "</div>\n<h2>" + Html(Text(Caption::ByHour, language)) + "</h2>\n<div class=\"chart\">";
        html += ChartSvg(
            [&](QPainter& painter, const QRectF& area) {
                DrawHourBars(painter, area.adjusted(4, 4, -4, -4), summary, unit, language);
            },
            760, 230);
        html += "</div>\n";
    }

    html += "<h2>" + Html(Text(Caption::ByMonth, language) + ", " + UnitName(unit, language)) +
            "</h2>\n";
    html += "<table class=\"months\">\n<thead><tr><th>" + Html(Text(Caption::Month, language)) +
            "</th><th class=\"n\">" + Html(Text(Caption::Count, language)) +
            "</th><th class=\"n\">" + Html(Text(Caption::Mean, language)) +
            "</th></tr></thead>\n<tbody>\n";
    for (const archive::MonthMean& month : summary.byMonth) {
        html += "<tr><td>" + Html(MonthText(month.year, month.month, language)) +
                "</td><td class=\"n\">" + std::to_string(month.mean.count) +
                "</td><td class=\"n\">" + Html(archive::InUnit(month.mean.bq, unit, language)) +
                "</td></tr>\n";
    }
    html += "</tbody>\n</table>\n";

    html += "<h2>" + Html(Text(Caption::AllResults, language)) + "</h2>\n";
    html += "<p class=\"legend\">" + Html(MarksLegend(unit, language)) + "</p>\n";
    html += "<table class=\"results\">\n<thead><tr><th class=\"n\">" +
            Html(Text(Caption::Number, language)) + "</th><th>" +
            Html(Text(Caption::Time, language)) + "</th><th class=\"n\">" +
            Html(UnitName(unit, language)) + "</th></tr></thead>\n<tbody>\n";
    for (std::size_t i = 0; i < request.results.size(); ++i) {
        const archive::Result& result = request.results[i];
        html += "<tr><td class=\"n\">" + std::to_string(i + 1) + "</td><td>" +
                Html(TimeText(result, language)) + "</td><td class=\"n\">" +
                Html(ValueCell(result.raw, unit, language)) + "</td></tr>\n";
    }
    html += "</tbody>\n</table>\n</body>\n</html>\n";
    return html;
}

bool WriteReport(const std::string& path, const ReportRequest& request, std::string& error) {
    // A target that may not be replaced is refused before anything is drawn.
    if (!FileReplacement::CheckTarget(path, ReplaceOptions{}, error)) return false;
    std::string bytes;
    const bool pdf = path.size() >= 4 && [&] {
        std::string extension = path.substr(path.size() - 4);
        std::transform(extension.begin(), extension.end(), extension.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return extension == ".pdf";
    }();
    if (pdf) {
        if (!RenderPdf(request, bytes, error)) return false;
    } else {
        bytes = RenderHtml(request);
    }
    return ReplaceWholeFile(path, bytes.data(), bytes.size(), error);
}

}  // namespace tavex::report
