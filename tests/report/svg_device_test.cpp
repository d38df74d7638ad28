#include "report/svg_device.h"

#include <gtest/gtest.h>

#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <clocale>
#include <map>
#include <string>
#include <vector>

#include "tests/report/report_test_data.h"

namespace tavex::report {
namespace {

using test_data::ParseSvg;
using test_data::SvgElement;

std::vector<SvgElement> Named(const std::vector<SvgElement>& all, const std::string& name) {
    std::vector<SvgElement> found;
    for (const SvgElement& e : all) {
        if (e.name == name) found.push_back(e);
    }
    return found;
}

template <typename Paint>
std::string Painted(Paint paint, QSizeF size = QSizeF(200, 100)) {
    SvgDevice device(size);
    QPainter painter(&device);
    paint(painter);
    painter.end();
    return device.Svg(true);
}

TEST(SvgDevice, LineRectAndTextComeOutAsWellFormedSvgAtTheirCoordinates) {
    // A locale with a decimal comma must not reach the numbers.
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    std::setlocale(LC_ALL, "");
    const std::string svg = Painted([](QPainter& p) {
        QPen pen(QColor(0x12, 0x34, 0x56));
        pen.setWidthF(2);
        p.setPen(pen);
        p.drawLine(QLineF(10, 20.5, 110, 20.5));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 0, 0));
        p.drawRect(QRectF(5.5, 6.25, 30, 40));
        p.setPen(Qt::black);
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPointSizeF(12);
        font.setBold(true);
        p.setFont(font);
        p.drawText(QPointF(15, 60), QStringLiteral("A & B <c> \"d\""));
    });
    QLocale::setDefault(QLocale::c());
    const std::vector<SvgElement> all = ParseSvg(svg);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all[0].name, "svg");
    EXPECT_EQ(all[0].attributes.at("viewBox"), "0 0 200 100");

    const auto lines = Named(all, "line");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].attributes.at("x1"), "10");
    EXPECT_EQ(lines[0].attributes.at("y1"), "20.5");
    EXPECT_EQ(lines[0].attributes.at("x2"), "110");
    EXPECT_EQ(lines[0].attributes.at("stroke"), "#123456");
    EXPECT_EQ(lines[0].attributes.at("stroke-width"), "2");

    const auto rects = Named(all, "rect");
    ASSERT_EQ(rects.size(), 1u);
    EXPECT_EQ(rects[0].attributes.at("x"), "5.5");
    EXPECT_EQ(rects[0].attributes.at("y"), "6.25");
    EXPECT_EQ(rects[0].attributes.at("width"), "30");
    EXPECT_EQ(rects[0].attributes.at("height"), "40");
    EXPECT_EQ(rects[0].attributes.at("fill"), "#ff0000");
    EXPECT_EQ(rects[0].attributes.at("stroke"), "none");

    const auto texts = Named(all, "text");
    ASSERT_GE(texts.size(), 1u);
    std::string text;
    for (const SvgElement& t : texts) text += t.text;
    EXPECT_EQ(text, "A & B <c> \"d\"");
    EXPECT_EQ(texts[0].attributes.at("x"), "15");
    EXPECT_EQ(texts[0].attributes.at("y"), "60");
    EXPECT_EQ(texts[0].attributes.at("font-size"), "16");  // 12 pt at 96 dpi
    EXPECT_EQ(texts[0].attributes.at("font-weight"), "700");
    EXPECT_NE(texts[0].attributes.at("font-family").find("DejaVu Sans"), std::string::npos);
    EXPECT_EQ(svg.find("<c>"), std::string::npos);
}

TEST(SvgDevice, PolylinesPathsDashesAndTransformsAreKept) {
    const std::string svg = Painted([](QPainter& p) {
        QPen dashed(Qt::black, 2, Qt::DashLine, Qt::FlatCap);
        p.setPen(dashed);
        const QPointF points[3] = {{0, 0}, {10, 5.25}, {20, 0}};
        p.drawPolyline(points, 3);
        p.translate(100, 50);
        p.scale(2, 2);
        p.setPen(QPen(Qt::black, 0));
        QPainterPath path;
        path.moveTo(1, 2);
        path.cubicTo(3, 4, 5, 6, 7, 8);
        p.drawPath(path);
    });
    const std::vector<SvgElement> all = ParseSvg(svg);
    const auto polylines = Named(all, "polyline");
    ASSERT_EQ(polylines.size(), 1u);
    EXPECT_EQ(polylines[0].attributes.at("points"), "0,0 10,5.25 20,0");
    EXPECT_EQ(polylines[0].attributes.at("fill"), "none");
    // Qt's dash pattern (4 on, 2 off) is in pen widths.
    EXPECT_EQ(polylines[0].attributes.at("stroke-dasharray"), "8 4");
    EXPECT_EQ(polylines[0].attributes.count("transform"), 0u);

    const auto paths = Named(all, "path");
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0].attributes.at("d"), "M1,2 C3,4 5,6 7,8");
    EXPECT_EQ(paths[0].attributes.at("transform"), "matrix(2 0 0 2 100 50)");
    EXPECT_EQ(paths[0].attributes.at("vector-effect"), "non-scaling-stroke");
}

TEST(SvgDevice, NumbersAndEscapes) {
    const std::pair<double, const char*> numbers[] = {
        {0, "0"},
        {3, "3"},
        {-3, "-3"},
        {12.5, "12.5"},
        {0.004, "0"},
        {-0.004, "0"},
        {1.999, "2"},
        {2.345678, "2.35"},
        {1234567.25, "1234567.25"},
        {std::nan(""), "0"},
    };
    for (const auto& [value, text] : numbers) EXPECT_EQ(SvgNumber(value), text) << value;

    const std::pair<std::string, std::string> escapes[] = {
        {"a<b>&c", "a&lt;b&gt;&amp;c"},
        {"\"q\" 'a'", "&quot;q&quot; &#39;a&#39;"},
        {"Бк/м³", "Бк/м³"},
        {std::string("x\x01y\x1Fz\tw"), "xyz\tw"},
        {"a\xEF\xBF\xBE"
         "b\xEF\xBF\xBF"
         "c",
         "abc"},                           // U+FFFE, U+FFFF
        {"\xEF\xBF\xBD", "\xEF\xBF\xBD"},  // U+FFFD is allowed
    };
    for (const auto& [in, out] : escapes) EXPECT_EQ(XmlEscaped(in), out) << in;
}

}  // namespace
}  // namespace tavex::report
