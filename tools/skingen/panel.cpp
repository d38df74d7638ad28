// The panel body and the pictures placed over it: keys, window buttons and the lamp.

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRegion>
#include <algorithm>
#include <cmath>
#include <functional>

#include "art.h"

namespace skingen {
namespace {

// Body outline, inclusive pixel bounds; the top corners are tighter than the bottom ones.
constexpr int kBodyLeft = 6, kBodyRight = 293, kBodyTop = 2, kBodyBottom = 477;
constexpr int kTopRadius = 24, kBottomRadius = 40;
constexpr int kCapBottom = 54;  // the dark head cap carrying title, lamp and window buttons

const QColor kRim(0x12, 0x15, 0x1a);
const QColor kBodyLight(0x4a, 0x52, 0x5d);
const QColor kBodyDark(0x2e, 0x34, 0x3c);
// The pictures over the panel are opaque rectangles: their backgrounds are these flat colours,
// the same as the panel under them.
const QColor kCap(0x22, 0x26, 0x2d);
const QColor kWell(0x19, 0x1c, 0x21);
const QColor kEngraving(0x8a, 0x93, 0x9e);

QRectF Rect(const Spot& s) {
    return QRectF(s.x, s.y, s.w, s.h);
}

QPainterPath RoundedPath(const QRectF& r, double top, double bottom) {
    QPainterPath p;
    p.moveTo(r.left() + top, r.top());
    p.arcTo(QRectF(r.right() - 2 * top, r.top(), 2 * top, 2 * top), 90, -90);
    p.arcTo(QRectF(r.right() - 2 * bottom, r.bottom() - 2 * bottom, 2 * bottom, 2 * bottom), 0,
            -90);
    p.arcTo(QRectF(r.left(), r.bottom() - 2 * bottom, 2 * bottom, 2 * bottom), 270, -90);
    p.arcTo(QRectF(r.left(), r.top(), 2 * top, 2 * top), 180, -90);
    p.closeSubpath();
    return p;
}

QPainterPath RoundedRect(const QRectF& r, double radius) {
    QPainterPath p;
    p.addRoundedRect(r, radius, radius);
    return p;
}

// The silhouette is built row by row, one solid span per row, so that its edge against the key
// colour is hard (no blended pixels) and has no one-pixel spurs for the outline trace to trip on.
int CornerInset(int y) {
    double radius = 0, d = 0;
    if (y < kBodyTop + kTopRadius) {
        radius = kTopRadius;
        d = kBodyTop + kTopRadius - (y + 0.5);
    } else if (y > kBodyBottom - kBottomRadius) {
        radius = kBottomRadius;
        d = (y + 0.5) - (kBodyBottom + 1 - kBottomRadius);
    } else {
        return 0;
    }
    return static_cast<int>(
        std::lround(radius - std::sqrt(std::max(0.0, radius * radius - d * d))));
}

QRegion BodyRegion() {
    QRegion body;
    for (int y = kBodyTop; y <= kBodyBottom; ++y) {
        const int inset = CornerInset(y);
        body += QRect(kBodyLeft + inset, y, kBodyRight - kBodyLeft + 1 - 2 * inset, 1);
    }
    return body;
}

// A recess: a thin shadow above, a thin highlight below.
void Recess(QPainter& p, const QPainterPath& shape, const QColor& fill) {
    p.fillPath(shape.translated(0, 1), QColor(255, 255, 255, 28));
    p.fillPath(shape.translated(0, -1), QColor(0, 0, 0, 90));
    p.fillPath(shape, fill);
}

void Text(QPainter& p, const QRectF& r, int flags, const QString& text, const QFont& font,
          const QColor& colour) {
    p.setFont(font);
    p.setPen(colour);
    p.drawText(r, flags, text);
}

// Two pictures side by side: released on the left, pressed (or lit) on the right.
QImage TwoState(int w, int h, const QColor& background,
                const std::function<void(QPainter&, bool)>& draw) {
    QImage img(2 * w, h, QImage::Format_RGB32);
    img.fill(background);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    for (bool second : {false, true}) {
        p.save();
        p.translate(second ? w : 0, 0);
        p.setClipRect(0, 0, w, h);
        draw(p, second);
        p.restore();
    }
    return img;
}

QColor Shade(const QColor& c, bool pressed) {
    return pressed ? c.darker(125) : c;
}

}  // namespace

QImage Panel() {
    QImage img(kPanelWidth, kPanelHeight, QImage::Format_RGB32);
    img.fill(kKeyColour);
    QPainter p(&img);
    p.setClipRegion(BodyRegion());
    p.fillRect(img.rect(), kRim);
    p.setRenderHint(QPainter::Antialiasing);

    const QRectF outer(kBodyLeft, kBodyTop, kBodyRight - kBodyLeft + 1, kBodyBottom - kBodyTop + 1);
    const QPainterPath body =
        RoundedPath(outer.adjusted(1.5, 1.5, -1.5, -1.5), kTopRadius - 1.5, kBottomRadius - 1.5);
    QLinearGradient bodyFill(0, kBodyTop, 0, kBodyBottom);
    bodyFill.setColorAt(0, kBodyLight);
    bodyFill.setColorAt(1, kBodyDark);
    p.fillPath(body, bodyFill);
    p.setPen(QPen(QColor(255, 255, 255, 36), 1));
    p.drawPath(
        RoundedPath(outer.adjusted(2.5, 2.5, -2.5, -2.5), kTopRadius - 2.5, kBottomRadius - 2.5));

    // Head cap: flat, so the lamp and window buttons sit on it seamlessly.
    p.save();
    p.setClipRect(0, 0, kPanelWidth, kCapBottom, Qt::IntersectClip);
    p.fillPath(body, kCap);
    p.restore();
    p.fillRect(QRectF(outer.left() + 2, kCapBottom, outer.width() - 4, 1),
               QColor(0x0c, 0x0e, 0x11));
    p.fillRect(QRectF(outer.left() + 2, kCapBottom + 1, outer.width() - 4, 1),
               QColor(255, 255, 255, 30));

    QFont title = UiFont(12, true);
    title.setLetterSpacing(QFont::AbsoluteSpacing, 1);
    Text(p, QRectF(26, 6, 120, 16), Qt::AlignLeft | Qt::AlignVCenter, "TAVEX", title,
         QColor(0xd8, 0xdc, 0xe2));
    Text(p, QRectF(77, 6, 80, 16), Qt::AlignLeft | Qt::AlignVCenter, "QX482TDA", UiFont(10),
         kEngraving);
    // Grip ridges across the rest of the drag strip.
    for (int x = 150; x <= 192; x += 4) {
        p.fillRect(QRectF(x, 8, 1, 12), QColor(0x0e, 0x10, 0x13));
        p.fillRect(QRectF(x + 1, 8, 1, 12), QColor(255, 255, 255, 26));
    }
    Text(p, QRectF(kLamp.x + kLamp.w + 5, kLamp.y, 40, kLamp.h), Qt::AlignLeft | Qt::AlignVCenter,
         "USB", UiFont(9, true), kEngraving);
    Text(p, QRectF(26, kLamp.y, 80, kLamp.h), Qt::AlignLeft | Qt::AlignVCenter, "RADON",
         UiFont(9, true), kEngraving);

    // Display window.
    Recess(p, RoundedRect(QRectF(50, 64, 200, 142), 9), QColor(0x0e, 0x10, 0x13));
    p.fillRect(Rect(kDisplay).adjusted(-1, -1, 1, 1), QColor(0x04, 0x05, 0x06));

    // Control dish around the three keys, with a well under each key.
    QPainterPath dish;
    dish.addEllipse(QPointF(155, 314), 102, 102);
    Recess(p, dish, QColor(0x2a, 0x2f, 0x36));
    for (const Spot& k : {kUpKey, kDownKey, kEnterKey}) {
        p.fillPath(RoundedRect(Rect(k).adjusted(-3, -3, 3, 3), 9), kWell);
    }

    // Vent slots and the maker's line at the foot.
    for (int y = 424; y <= 445; y += 7) {
        Recess(p, RoundedRect(QRectF(110, y, 80, 3), 1.5), QColor(0x17, 0x1a, 0x1f));
    }
    QFont foot = UiFont(9, true);
    foot.setLetterSpacing(QFont::AbsoluteSpacing, 2);
    Text(p, QRectF(40, 451, 220, 14), Qt::AlignCenter, "RADON MONITOR", foot, kEngraving);
    p.end();
    return img;
}

QImage KeyPicture(Key key) {
    const Spot& s = key == Key::Up ? kUpKey : key == Key::Down ? kDownKey : kEnterKey;
    const bool enter = key == Key::Enter;
    const QColor top = enter ? QColor(0x6f, 0xb8, 0x8a) : QColor(0xdf, 0xe3, 0xe8);
    const QColor bottom = enter ? QColor(0x3e, 0x85, 0x5a) : QColor(0xa4, 0xab, 0xb4);
    const QColor glyph(0x25, 0x2a, 0x31);
    return TwoState(s.w, s.h, kWell, [&](QPainter& p, bool pressed) {
        QRectF face(1.5, 1.5, s.w - 4, s.h - 4.5);
        if (pressed) {
            face.translate(1, 1);
        } else {
            p.fillPath(RoundedRect(face.translated(0, 2), 7), QColor(0x08, 0x09, 0x0b));
        }
        QLinearGradient fill(0, face.top(), 0, face.bottom());
        fill.setColorAt(0, Shade(top, pressed));
        fill.setColorAt(1, Shade(bottom, pressed));
        p.setPen(QPen(QColor(0x10, 0x12, 0x15), 1));
        p.setBrush(fill);
        p.drawRoundedRect(face, 7, 7);
        p.setPen(QPen(QColor(255, 255, 255, pressed ? 40 : 90), 1));
        p.drawLine(QPointF(face.left() + 6, face.top() + 1.5),
                   QPointF(face.right() - 6, face.top() + 1.5));

        const QPointF c = face.center();
        p.setPen(Qt::NoPen);
        p.setBrush(Shade(glyph, pressed));
        if (enter) {  // return arrow
            p.setBrush(Qt::NoBrush);
            p.setPen(QPen(Shade(glyph, pressed), 2.6, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
            p.drawPolyline(QPolygonF(
                {{c.x() + 10, c.y() - 8}, {c.x() + 10, c.y() + 3}, {c.x() - 6, c.y() + 3}}));
            p.setPen(Qt::NoPen);
            p.setBrush(Shade(glyph, pressed));
            p.drawPolygon(QPolygonF(
                {{c.x() - 12, c.y() + 3}, {c.x() - 5, c.y() - 3}, {c.x() - 5, c.y() + 9}}));
        } else {
            const double d = key == Key::Up ? -1 : 1;
            p.drawPolygon(QPolygonF(
                {{c.x(), c.y() + 6 * d}, {c.x() - 8, c.y() - 5 * d}, {c.x() + 8, c.y() - 5 * d}}));
        }
    });
}

QImage ButtonPicture(Button button) {
    const Spot& s = button == Button::Help       ? kHelpButton
                    : button == Button::Minimise ? kMinimiseButton
                                                 : kCloseButton;
    const QColor face =
        button == Button::Close ? QColor(0xb2, 0x45, 0x40) : QColor(0x46, 0x4e, 0x59);
    return TwoState(s.w, s.h, kCap, [&](QPainter& p, bool pressed) {
        QRectF r(0.5, 0.5, s.w - 2, s.h - 2);
        if (pressed) {
            r.translate(1, 1);
        } else {
            p.fillPath(RoundedRect(r.translated(0, 1), 4), QColor(0x0a, 0x0b, 0x0d));
        }
        p.setPen(QPen(QColor(0x0e, 0x10, 0x13), 1));
        p.setBrush(Shade(face, pressed));
        p.drawRoundedRect(r, 4, 4);
        const QPointF c = r.center();
        p.setPen(QPen(QColor(0xee, 0xf0, 0xf3).darker(pressed ? 120 : 100), 1.8, Qt::SolidLine,
                      Qt::RoundCap));
        if (button == Button::Close) {
            p.drawLine(c + QPointF(-3.5, -3.5), c + QPointF(3.5, 3.5));
            p.drawLine(c + QPointF(-3.5, 3.5), c + QPointF(3.5, -3.5));
        } else if (button == Button::Minimise) {
            p.drawLine(c + QPointF(-4, 3.5), c + QPointF(4, 3.5));
        } else {
            p.setFont(UiFont(12, true));
            p.drawText(r, Qt::AlignCenter, "?");
        }
    });
}

QImage LampPicture() {
    return TwoState(kLamp.w, kLamp.h, kCap, [](QPainter& p, bool lit) {
        const QPointF c(kLamp.w / 2.0, kLamp.h / 2.0);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x0b, 0x0c, 0x0f));
        p.drawEllipse(c, 6.5, 6.5);
        QRadialGradient led(c - QPointF(1.2, 1.2), 5.5);
        led.setColorAt(0, lit ? QColor(0xd8, 0xff, 0xd0) : QColor(0x3a, 0x52, 0x3c));
        led.setColorAt(0.45, lit ? QColor(0x4c, 0xe0, 0x5a) : QColor(0x24, 0x36, 0x26));
        led.setColorAt(1, lit ? QColor(0x1f, 0x8f, 0x2e) : QColor(0x16, 0x22, 0x18));
        p.setBrush(led);
        p.drawEllipse(c, 5, 5);
    });
}

QImage PlainPicture() {
    QImage img(16, 16, QImage::Format_RGB32);
    img.fill(kBodyDark);
    return img;
}

}  // namespace skingen
