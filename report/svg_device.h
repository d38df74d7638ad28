#pragma once

#include <QPaintDevice>
#include <QSizeF>
#include <memory>
#include <string>

namespace tavex::report {

class SvgPaintEngine;

// A paint device that writes what is painted on it as SVG text, so that the charts painted onto
// the PDF page and into images are painted the same way for the HTML report. It keeps what the
// charts use: lines, rectangles, polylines, polygons and paths with their pen (colour, width,
// dash pattern, cap and join) and solid brush, text (family, size, weight, italics) and the
// painter's transformation. Pictures, gradients and clipping are not kept.
//
// Units are CSS pixels, 96 to the inch; a font's point size is converted at that resolution.
class SvgDevice : public QPaintDevice {
public:
    explicit SvgDevice(QSizeF size);
    ~SvgDevice() override;
    SvgDevice(const SvgDevice&) = delete;
    SvgDevice& operator=(const SvgDevice&) = delete;

    QPaintEngine* paintEngine() const override;

    // The <svg> element with everything painted so far (painters ended), UTF-8. withNamespace
    // adds the xmlns attribute that a file of its own needs; an <svg> inside an HTML page does
    // without it.
    std::string Svg(bool withNamespace) const;

    static constexpr int kDpi = 96;

protected:
    int metric(PaintDeviceMetric metric) const override;

private:
    QSizeF size_;
    std::unique_ptr<SvgPaintEngine> engine_;
};

// A number as SVG writes it: a decimal point whatever the locale, at most two decimals, no
// trailing zeros ("12.5", "-3", "0").
std::string SvgNumber(double value);
// Text made safe for XML character data and attribute values; characters XML does not allow
// (control characters, U+FFFE, U+FFFF) are left out.
std::string XmlEscaped(const std::string& utf8);

}  // namespace tavex::report
