#include "report/svg_device.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QGradient>
#include <QPaintEngine>
#include <QPainterPath>
#include <QPen>
#include <QTransform>
#include <charconv>
#include <climits>
#include <cmath>

namespace tavex::report {

std::string SvgNumber(double value) {
    if (!std::isfinite(value)) return "0";
    double rounded = std::round(value * 100.0) / 100.0;
    if (rounded == 0.0) rounded = 0.0;  // no "-0"
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, rounded, std::chars_format::fixed, 2);
    std::string text(buffer, result.ptr);
    while (!text.empty() && text.back() == '0') text.pop_back();
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

std::string XmlEscaped(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') break;
                // U+FFFE and U+FFFF (EF BF BE, EF BF BF) are not characters XML allows.
                if (c == 0xEF && i + 2 < utf8.size() &&
                    static_cast<unsigned char>(utf8[i + 1]) == 0xBF &&
                    (static_cast<unsigned char>(utf8[i + 2]) & 0xFE) == 0xBE) {
                    i += 2;
                    break;
                }
                out += static_cast<char>(c);
        }
    }
    return out;
}

namespace {

std::string ColourText(const QColor& colour) {
    return colour.name(QColor::HexRgb).toStdString();
}

std::string Attribute(const char* name, const std::string& value) {
    return std::string(" ") + name + "=\"" + value + "\"";
}

std::string Point(const QPointF& p) {
    return SvgNumber(p.x()) + "," + SvgNumber(p.y());
}

}  // namespace

// Writes each painted element as it comes, with the pen, brush and transformation of the
// painter's state at that moment.
class SvgPaintEngine : public QPaintEngine {
public:
    SvgPaintEngine() : QPaintEngine(QPaintEngine::AllFeatures) {}

    bool begin(QPaintDevice*) override {
        UpdateStroke(QPen());
        UpdateFill(QBrush());
        transform_.clear();
        opacity_.clear();
        return true;
    }
    bool end() override { return true; }
    Type type() const override { return QPaintEngine::User; }

    void updateState(const QPaintEngineState& state) override {
        const DirtyFlags dirty = state.state();
        if (dirty & DirtyPen) UpdateStroke(state.pen());
        if (dirty & DirtyBrush) UpdateFill(state.brush());
        if (dirty & DirtyTransform) {
            const QTransform t = state.transform();
            transform_ =
                t.isIdentity()
                    ? std::string()
                    : Attribute("transform", "matrix(" + SvgNumber(t.m11()) + " " +
                                                 SvgNumber(t.m12()) + " " + SvgNumber(t.m21()) +
                                                 " " + SvgNumber(t.m22()) + " " +
                                                 SvgNumber(t.dx()) + " " + SvgNumber(t.dy()) + ")");
            // Stroke widths written for the untransformed drawing stay right under a scaling.
        }
        if (dirty & DirtyOpacity) {
            const double opacity = state.opacity();
            opacity_ = opacity < 1.0 ? Attribute("opacity", SvgNumber(opacity)) : std::string();
        }
    }

    void drawLines(const QLineF* lines, int count) override {
        for (int i = 0; i < count; ++i) {
            Element("line",
                    Attribute("x1", SvgNumber(lines[i].x1())) +
                        Attribute("y1", SvgNumber(lines[i].y1())) +
                        Attribute("x2", SvgNumber(lines[i].x2())) +
                        Attribute("y2", SvgNumber(lines[i].y2())),
                    false);
        }
    }
    void drawLines(const QLine* lines, int count) override {
        for (int i = 0; i < count; ++i) {
            const QLineF line(lines[i]);
            drawLines(&line, 1);
        }
    }

    void drawRects(const QRectF* rects, int count) override {
        for (int i = 0; i < count; ++i) {
            const QRectF r = rects[i].normalized();
            Element("rect",
                    Attribute("x", SvgNumber(r.x())) + Attribute("y", SvgNumber(r.y())) +
                        Attribute("width", SvgNumber(r.width())) +
                        Attribute("height", SvgNumber(r.height())),
                    true);
        }
    }
    void drawRects(const QRect* rects, int count) override {
        for (int i = 0; i < count; ++i) {
            const QRectF rect(rects[i]);
            drawRects(&rect, 1);
        }
    }

    void drawEllipse(const QRectF& rect) override {
        const QRectF r = rect.normalized();
        Element("ellipse",
                Attribute("cx", SvgNumber(r.center().x())) +
                    Attribute("cy", SvgNumber(r.center().y())) +
                    Attribute("rx", SvgNumber(r.width() / 2)) +
                    Attribute("ry", SvgNumber(r.height() / 2)),
                true);
    }

    void drawPolygon(const QPointF* points, int count, PolygonDrawMode mode) override {
        if (count <= 0) return;
        std::string list;
        list.reserve(static_cast<std::size_t>(count) * 12);
        for (int i = 0; i < count; ++i) {
            if (i) list += ' ';
            list += Point(points[i]);
        }
        if (mode == PolylineMode) {
            Element("polyline", Attribute("points", list), false);
        } else {
            Element("polygon",
                    Attribute("points", list) +
                        Attribute("fill-rule", mode == OddEvenMode ? "evenodd" : "nonzero"),
                    true);
        }
    }
    void drawPolygon(const QPoint* points, int count, PolygonDrawMode mode) override {
        QPolygonF polygon;
        polygon.reserve(count);
        for (int i = 0; i < count; ++i) polygon.append(QPointF(points[i]));
        drawPolygon(polygon.constData(), count, mode);
    }

    void drawPath(const QPainterPath& path) override {
        std::string d;
        for (int i = 0; i < path.elementCount(); ++i) {
            const QPainterPath::Element e = path.elementAt(i);
            if (!d.empty()) d += ' ';
            switch (e.type) {
                case QPainterPath::MoveToElement:
                    d += "M" + Point(e);
                    break;
                case QPainterPath::LineToElement:
                    d += "L" + Point(e);
                    break;
                case QPainterPath::CurveToElement:
                    d += "C" + Point(e);
                    break;
                case QPainterPath::CurveToDataElement:
                    d += Point(e);
                    break;
            }
        }
        if (d.empty()) return;
        Element(
            "path",
            Attribute("d", d) +
                Attribute("fill-rule", path.fillRule() == Qt::OddEvenFill ? "evenodd" : "nonzero"),
            true);
    }

    void drawTextItem(const QPointF& p, const QTextItem& item) override {
        const std::string text = XmlEscaped(item.text().toStdString());
        if (text.empty()) return;
        const QFont font = item.font();
        const double size =
            font.pixelSize() > 0 ? font.pixelSize() : font.pointSizeF() * SvgDevice::kDpi / 72.0;
        std::string family = XmlEscaped(font.family().toStdString());
        family = (family.empty() ? "" : "'" + family + "', ") + "sans-serif";
        std::string attributes =
            Attribute("x", SvgNumber(p.x())) + Attribute("y", SvgNumber(p.y())) +
            Attribute("font-family", family) + Attribute("font-size", SvgNumber(size));
        if (font.weight() != QFont::Normal) {
            attributes += Attribute("font-weight", std::to_string(font.weight()));
        }
        if (font.italic()) attributes += Attribute("font-style", "italic");
        attributes += textFill_ + transform_ + opacity_;
        out_ += "<text" + attributes + ">" + text + "</text>\n";
    }

    // The charts draw no pictures.
    void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}

    const std::string& Body() const { return out_; }

private:
    void UpdateStroke(const QPen& pen) {
        const QColor colour = pen.color();
        textFill_ = Attribute("fill", ColourText(colour));
        if (colour.alpha() < 255)
            textFill_ += Attribute("fill-opacity", SvgNumber(colour.alphaF()));
        if (pen.style() == Qt::NoPen || pen.brush().style() == Qt::NoBrush) {
            stroke_ = Attribute("stroke", "none");
            return;
        }
        const double width = pen.widthF();
        const bool cosmetic = pen.isCosmetic() || width <= 0;
        const double shown = width > 0 ? width : 1.0;
        stroke_ =
            Attribute("stroke", ColourText(colour)) + Attribute("stroke-width", SvgNumber(shown));
        if (colour.alpha() < 255)
            stroke_ += Attribute("stroke-opacity", SvgNumber(colour.alphaF()));
        if (cosmetic) stroke_ += Attribute("vector-effect", "non-scaling-stroke");
        if (pen.style() != Qt::SolidLine) {
            // Qt's dash lengths are in pen widths.
            std::string dashes;
            for (const qreal length : pen.dashPattern()) {
                if (!dashes.empty()) dashes += ' ';
                dashes += SvgNumber(length * shown);
            }
            if (!dashes.empty()) stroke_ += Attribute("stroke-dasharray", dashes);
            if (pen.dashOffset() != 0) {
                stroke_ += Attribute("stroke-dashoffset", SvgNumber(pen.dashOffset() * shown));
            }
        }
        switch (pen.capStyle()) {
            case Qt::SquareCap:
                stroke_ += Attribute("stroke-linecap", "square");
                break;
            case Qt::RoundCap:
                stroke_ += Attribute("stroke-linecap", "round");
                break;
            default:
                break;  // butt, SVG's own default
        }
        switch (pen.joinStyle()) {
            case Qt::BevelJoin:
                stroke_ += Attribute("stroke-linejoin", "bevel");
                break;
            case Qt::RoundJoin:
                stroke_ += Attribute("stroke-linejoin", "round");
                break;
            default:
                break;  // miter
        }
    }

    void UpdateFill(const QBrush& brush) {
        if (brush.style() == Qt::NoBrush) {
            fill_ = Attribute("fill", "none");
            return;
        }
        // A gradient shows as its first colour; patterns and textures as their colour.
        QColor colour = brush.color();
        if (const QGradient* gradient = brush.gradient();
            gradient && !gradient->stops().isEmpty()) {
            colour = gradient->stops().first().second;
        }
        fill_ = Attribute("fill", ColourText(colour));
        if (colour.alpha() < 255) fill_ += Attribute("fill-opacity", SvgNumber(colour.alphaF()));
    }

    void Element(const char* name, const std::string& geometry, bool filled) {
        out_ += std::string("<") + name + geometry + (filled ? fill_ : Attribute("fill", "none")) +
                stroke_ + transform_ + opacity_ + "/>\n";
    }

    std::string out_;
    std::string stroke_;
    std::string fill_;
    std::string textFill_;
    std::string transform_;
    std::string opacity_;
};

SvgDevice::SvgDevice(QSizeF size) : size_(size), engine_(std::make_unique<SvgPaintEngine>()) {}

SvgDevice::~SvgDevice() = default;

QPaintEngine* SvgDevice::paintEngine() const {
    return engine_.get();
}

int SvgDevice::metric(PaintDeviceMetric metric) const {
    switch (metric) {
        case PdmWidth:
            return static_cast<int>(std::lround(size_.width()));
        case PdmHeight:
            return static_cast<int>(std::lround(size_.height()));
        case PdmWidthMM:
            return static_cast<int>(std::lround(size_.width() * 25.4 / kDpi));
        case PdmHeightMM:
            return static_cast<int>(std::lround(size_.height() * 25.4 / kDpi));
        case PdmNumColors:
            return INT_MAX;
        case PdmDepth:
            return 32;
        case PdmDpiX:
        case PdmDpiY:
        case PdmPhysicalDpiX:
        case PdmPhysicalDpiY:
            return kDpi;
        case PdmDevicePixelRatio:
            return 1;
        case PdmDevicePixelRatioScaled:
            return static_cast<int>(devicePixelRatioFScale());
        default:
            return QPaintDevice::metric(metric);
    }
}

std::string SvgDevice::Svg(bool withNamespace) const {
    const std::string width = SvgNumber(size_.width());
    const std::string height = SvgNumber(size_.height());
    std::string svg = "<svg";
    if (withNamespace) svg += " xmlns=\"http://www.w3.org/2000/svg\"";
    svg += " width=\"" + width + "\" height=\"" + height + "\" viewBox=\"0 0 " + width + " " +
           height + "\">\n";
    svg += engine_->Body();
    svg += "</svg>\n";
    return svg;
}

}  // namespace tavex::report
