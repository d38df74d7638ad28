// Renders a contact sheet of the skin from the real panel widgets: the panel with every display
// screen in both languages, and the menu window with every menu picture in both languages.
//
//   tavex-contactsheet SKINDIR OUT.png
#include <QApplication>
#include <QBuffer>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

#include "app/menu1.h"
#include "app/tavex_m.h"
#include "fileio/safe_file.h"
#include "skin/winpicture.h"

namespace {

// The panel as the user sees it: what lies outside the window's outline is left white.
QImage PanelShot(tavex::TForm1& form, const tavex::Winpicture& skin) {
    const QImage grabbed = form.grab().toImage();
    QImage shot(grabbed.size(), QImage::Format_RGB32);
    shot.fill(Qt::white);
    QPainter painter(&shot);
    QPainterPath outline;
    outline.addPolygon(QPolygonF(skin.Outline()));
    outline.setFillRule(Qt::OddEvenFill);
    painter.setClipPath(outline);
    painter.drawImage(0, 0, grabbed);
    return shot;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: tavex-contactsheet SKINDIR OUT.png\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    tavex::TForm1 form1;
    tavex::TForm4 form4;
    std::uint8_t language = 0;
    tavex::SkinTargets targets;
    targets.form1 = &form1;
    targets.image = form1.Images();
    targets.form4 = &form4;
    targets.menuImage1 = form4.Image1;
    targets.menuImage2 = form4.Image2;
    tavex::Winpicture skin(language, targets, QString::fromLocal8Bit(argv[1]));
    if (!skin.LoadSkin()) {
        std::fprintf(stderr, "tavex-contactsheet: %s\n", qPrintable(skin.SkinError()));
        return 1;
    }

    constexpr int kGap = 8;
    const double scale = 0.5;
    const QSize panel = form1.size() * scale;
    const QSize menu = form4.size();
    const int width = std::max(14 * (panel.width() + kGap), 5 * (menu.width() + kGap)) + kGap;
    const int height = 2 * (panel.height() + kGap) + 2 * (menu.height() + kGap) + kGap;
    QImage sheet(width, height, QImage::Format_RGB32);
    sheet.fill(Qt::white);
    QPainter painter(&sheet);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    for (int lang = 0; lang < 2; ++lang) {
        language = static_cast<std::uint8_t>(lang);
        const int top = kGap + lang * (panel.height() + kGap);
        for (int row = 0; row < tavex::kDisplayRows; ++row) {
            skin.ShowStripRow(tavex::kTargetDisplay, static_cast<std::uint8_t>(row));
            painter.drawImage(QRect(QPoint(kGap + row * (panel.width() + kGap), top), panel),
                              PanelShot(form1, skin));
        }
        const int menuTop = kGap + 2 * (panel.height() + kGap) + lang * (menu.height() + kGap);
        for (int row = 0; row < tavex::kMenuRows; ++row) {
            skin.ShowStripRow(tavex::kTargetMenu, static_cast<std::uint8_t>(row));
            painter.drawImage(QPoint(kGap + row * (menu.width() + kGap), menuTop),
                              form4.grab().toImage());
        }
    }
    painter.end();
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    std::string error;
    if (!sheet.save(&buffer, "PNG")) {
        std::fprintf(stderr, "tavex-contactsheet: cannot draw the sheet\n");
        return 1;
    }
    if (!tavex::ReplaceWholeFile(argv[2], png.constData(), static_cast<std::size_t>(png.size()),
                            error)) {
        std::fprintf(stderr, "tavex-contactsheet: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
