// The display strip (one screen per program state and language) and the menu strip.

#include <QPainter>
#include <QPainterPath>
#include <QString>

#include "art.h"

namespace skingen {
namespace {

const QColor kLcd(0xb4, 0xc8, 0x9e);
const QColor kInk(0x1c, 0x2a, 0x1a);
const QColor kFaint(0x8e, 0xa4, 0x7c);

struct Texts {
    const char* ru;
    const char* en;
};
QString Pick(const Texts& t, bool english) {
    return QString::fromUtf8(english ? t.en : t.ru);
}

// Draws one line centred in r, shrinking the face until it fits.
void Line(QPainter& p, const QRectF& r, const QString& text, int pixelSize, bool bold = false,
          const QColor& colour = kInk, int flags = Qt::AlignCenter) {
    QFont font = UiFont(pixelSize, bold);
    while (pixelSize > 8 && QFontMetricsF(font).horizontalAdvance(text) > r.width()) {
        font = UiFont(--pixelSize, bold);
    }
    p.setFont(font);
    p.setPen(colour);
    p.drawText(r, flags, text);
}

// The LCD glass: flat, with a shadow along the top and left edges where the bezel overhangs.
void Glass(QPainter& p, const QRect& cell) {
    p.fillRect(cell, kLcd);
    for (int i = 0; i < 3; ++i) {
        const QColor shade(0, 0, 0, 60 - 20 * i);
        p.fillRect(QRect(cell.left(), cell.top() + i, cell.width(), 1), shade);
        p.fillRect(QRect(cell.left() + i, cell.top() + 3, 1, cell.height() - 3), shade);
    }
}

void CheckMark(QPainter& p, QPointF c, double size) {
    p.setPen(QPen(kInk, size / 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF({c + QPointF(-size / 2, 0), c + QPointF(-size / 7, size / 3),
                              c + QPointF(size / 2, -size / 3)}));
}

void WarningSign(QPainter& p, QPointF c) {
    QPainterPath sign;
    sign.addPolygon(QPolygonF({c + QPointF(0, -13), c + QPointF(14, 11), c + QPointF(-14, 11)}));
    sign.closeSubpath();
    p.setPen(QPen(kInk, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(sign);
    p.setPen(QPen(kInk, 2.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c + QPointF(0, -4), c + QPointF(0, 3));
    p.drawPoint(c + QPointF(0, 7.5));
}

// Reading progress: five blocks, the first `stage` of them filled.
void Progress(QPainter& p, const QRect& cell, int stage, bool english) {
    Line(p, QRectF(cell.left() + 6, cell.top() + 16, cell.width() - 12, 22),
         Pick({"Чтение результатов", "Reading results"}, english), 14, true);
    const QRectF bar(cell.left() + 18, cell.top() + 52, cell.width() - 36, 22);
    p.setPen(QPen(kInk, 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawRect(bar);
    const double block = (bar.width() - 4) / 5;
    for (int i = 0; i < 5; ++i) {
        const QRectF r(bar.left() + 3 + i * block, bar.top() + 3, block - 2, bar.height() - 6);
        p.fillRect(r, i < stage ? kInk : QColor(kFaint.red(), kFaint.green(), kFaint.blue(), 110));
    }
    const QString percent =
        QString::number(stage * 20) + QString::fromUtf8(english ? "%" : "\u00a0%");
    Line(p, QRectF(cell.left(), cell.top() + 82, cell.width(), 20), percent, 14);
}

void Question(QPainter& p, const QRect& cell, bool yesMarked, bool english) {
    Line(p, QRectF(cell.left() + 6, cell.top() + 14, cell.width() - 12, 24),
         Pick({"Очистить память?", "Clear memory?"}, english), 16, true);
    Line(p, QRectF(cell.left() + 6, cell.top() + 40, cell.width() - 12, 18),
         Pick({"Результаты будут удалены", "Results will be erased"}, english), 11);
    const Texts answers[2] = {{"Да", "Yes"}, {"Нет", "No"}};
    for (int i = 0; i < 2; ++i) {
        const QRectF box(cell.left() + 22 + i * 72, cell.top() + 72, 60, 28);
        const bool marked = (i == 0) == yesMarked;
        if (marked) {
            p.setPen(Qt::NoPen);
            p.setBrush(kInk);
            p.drawRoundedRect(box, 4, 4);
        }
        Line(p, box, Pick(answers[i], english), 16, true, marked ? kLcd : kInk);
    }
}

void Screen(QPainter& p, const QRect& cell, int row, bool english) {
    Glass(p, cell);
    const int l = cell.left(), t = cell.top(), w = cell.width();
    auto band = [&](int y, int h) { return QRectF(l + 6, t + y, w - 12, h); };
    switch (row) {
        case 0: {  // starting up
            QFont logo = UiFont(30, true);
            logo.setLetterSpacing(QFont::AbsoluteSpacing, 2);
            p.setFont(logo);
            p.setPen(kInk);
            p.drawText(band(12, 38), Qt::AlignCenter, "TAVEX");
            Line(p, band(50, 14), "QX482TDA", 11, false);
            Line(p, band(82, 20), Pick({"Подключение…", "Connecting…"}, english), 14);
            break;
        }
        case 1:  // meter connected
            CheckMark(p, QPointF(l + w / 2.0, t + 28), 26);
            Line(p, band(46, 24), Pick({"Прибор подключён", "Meter connected"}, english), 15, true);
            Line(p, band(84, 20), Pick({"Enter — меню", "Enter — menu"}, english), 13);
            break;
        case 2:  // menu open
            Line(p, band(14, 30), Pick({"Меню", "Menu"}, english), 22, true);
            Line(p, band(58, 18), Pick({"▲ ▼ — выбор пункта", "▲ ▼ — choose an item"}, english),
                 13);
            Line(p, band(82, 18), Pick({"Enter — выполнить", "Enter — run it"}, english), 13);
            break;
        case 3:  // no meter
            WarningSign(p, QPointF(l + w / 2.0, t + 26));
            Line(p, band(46, 22), Pick({"Прибор не подключён", "No meter connected"}, english), 15,
                 true);
            Line(p, band(74, 18), Pick({"Подключите прибор", "Connect the meter"}, english), 12);
            Line(p, band(92, 18), Pick({"к порту USB", "to a USB port"}, english), 12);
            break;
        case 4:  // done
            CheckMark(p, QPointF(l + w / 2.0, t + 40), 40);
            Line(p, band(70, 30), Pick({"Готово", "Done"}, english), 22, true);
            break;
        case 11:  // nothing stored
            Line(p, band(34, 24), Pick({"Нет результатов", "No results stored"}, english), 16,
                 true);
            Line(p, band(66, 18), Pick({"Память прибора пуста", "Meter memory is empty"}, english),
                 12);
            break;
        case 12:
        case 13:
            Question(p, cell, row == 13, english);
            break;
        default:  // 5..10: reading, stage 0..5
            Progress(p, cell, row - 5, english);
            break;
    }
}

void Menu(QPainter& p, const QRect& cell, int marked, bool english) {
    p.fillRect(cell, kLcd);
    const Texts items[kMenuItems] = {{"Экспорт результатов", "Export results"},
                                     {"Очистка памяти", "Clear memory"},
                                     {"Установка часов", "Set clock"},
                                     {"Выход", "Exit"}};
    for (int i = 0; i < kMenuItems; ++i) {
        const QRect item(cell.left(), cell.top() + i * kMenuItemHeight, cell.width(),
                         kMenuItemHeight);
        const bool on = marked == i + 1;
        if (on) {
            p.setPen(Qt::NoPen);
            p.setBrush(kInk);
            p.drawRoundedRect(QRectF(item).adjusted(3, 2, -3, -2), 3, 3);
        } else if (i > 0) {
            p.fillRect(QRect(item.left() + 8, item.top(), item.width() - 16, 1), kFaint);
        }
        const QColor colour = on ? kLcd : kInk;
        Line(p, QRectF(item.left() + 10, item.top(), 16, item.height()), QString::number(i + 1), 13,
             true, colour, Qt::AlignLeft | Qt::AlignVCenter);
        Line(p, QRectF(item.left() + 28, item.top(), item.width() - 36, item.height()),
             Pick(items[i], english), 14, false, colour, Qt::AlignLeft | Qt::AlignVCenter);
    }
    const QRect footer(cell.left(), cell.top() + kMenuItems * kMenuItemHeight, cell.width(),
                       cell.height() - kMenuItems * kMenuItemHeight);
    p.fillRect(footer, kFaint);
    // Crisp one-pixel frame: the menu window is exactly this rectangle.
    p.fillRect(QRect(cell.left(), cell.top(), cell.width(), 1), kInk);
    p.fillRect(QRect(cell.left(), cell.bottom(), cell.width(), 1), kInk);
    p.fillRect(QRect(cell.left(), cell.top(), 1, cell.height()), kInk);
    p.fillRect(QRect(cell.right(), cell.top(), 1, cell.height()), kInk);
}

template <typename Draw>
QImage Strip(int cellWidth, int cellHeight, int rows, Draw draw) {
    QImage img(2 * cellWidth, rows * cellHeight, QImage::Format_RGB32);
    img.fill(kLcd);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < 2; ++column) {
            const QRect cell(column * cellWidth, row * cellHeight, cellWidth, cellHeight);
            p.save();
            p.setClipRect(cell);
            draw(p, cell, row, column == 1);
            p.restore();
        }
    }
    return img;
}

}  // namespace

QImage DisplayStrip() {
    return Strip(kDisplay.w, kDisplay.h, kScreenRows, Screen);
}

QImage MenuStrip() {
    return Strip(kMenuWidth, kMenuHeight, kMenuRows, Menu);
}

}  // namespace skingen
