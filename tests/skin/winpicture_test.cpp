#include "skin/winpicture.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <QDir>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <functional>

#include "app/menu1.h"
#include "app/tavex_m.h"

namespace tavex {
namespace {

constexpr QRgb kKey = 0xFF00FF;

QRgb DisplayColour(int row, int column) {
    return qRgb(10 + 15 * row, 60 + 120 * column, 30) & 0xFFFFFF;
}
QRgb MenuColour(int row, int column) {
    return qRgb(200 - 30 * row, 20, 100 + 100 * column) & 0xFFFFFF;
}
QRgb ReleasedColour(int kind) {
    return qRgb(20 * kind, 200, 200) & 0xFFFFFF;
}
QRgb PressedColour(int kind) {
    return qRgb(20 * kind, 40, 40) & 0xFFFFFF;
}

// A small skin whose every picture is made of solid colours, so that what a control shows can
// be told from its pixels.
struct SkinLayout {
    int buttonHalf = 10;
    int buttonExtra = 0;   // 1: an odd width, whose last column is never shown
    int displayExtra = 0;  // rows of the display strip below the 14 cells
    std::function<void(const QDir&)> tweak;
};

void WriteSkin(const QDir& dir, const SkinLayout& layout = {}) {
    QImage panel(60, 40, QImage::Format_RGB32);
    panel.fill(kKey);
    QPainter(&panel).fillRect(QRect(5, 3, 50, 34), QColor(0x30, 0x40, 0x50));
    panel.save(dir.filePath("mdpek.dat"), "BMP");

    const char* buttons[7] = {"mddwur.dat", "mddwmn.dat", "mddwen.dat", "mddwmz.dat",
                              "mdswcl.dat", "mdswon.dat", "mdswhl.dat"};
    for (int kind = 0; kind < 7; ++kind) {
        QImage bitmap(2 * layout.buttonHalf + layout.buttonExtra, 8, QImage::Format_RGB32);
        bitmap.fill(PressedColour(kind));
        QPainter(&bitmap).fillRect(QRect(0, 0, layout.buttonHalf, 8), QColor(ReleasedColour(kind)));
        bitmap.save(dir.filePath(buttons[kind]), "BMP");
    }
    auto strip = [&](const char* name, int rows, int cellW, int cellH, int extra,
                     QRgb (*colour)(int, int)) {
        QImage bitmap(2 * cellW, rows * cellH + extra, QImage::Format_RGB32);
        bitmap.fill(Qt::white);
        QPainter painter(&bitmap);
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < 2; ++c)
                painter.fillRect(QRect(c * cellW, r * cellH, cellW, cellH), QColor(colour(r, c)));
        }
        painter.end();
        bitmap.save(dir.filePath(name), "BMP");
    };
    strip("mdmedsr.dat", 14, 24, 6, layout.displayExtra, DisplayColour);
    strip("mdmner.dat", 5, 30, 10, 0, MenuColour);
    for (const char* unused : {"mdwnm.dat", "rdswup.dat", "pdswup.dat", "rdswmn.dat", "pdswmn.dat",
                               "rddwex.dat", "pddwex.dat", "rddwhl.dat", "pddwhl.dat"}) {
        QImage small(4, 4, QImage::Format_RGB32);
        small.fill(Qt::gray);
        small.save(dir.filePath(unused), "BMP");
    }
    for (const char* presence : {"exgron.dat", "exyron.dat", "exrron.dat", "mdlbem.dat"}) {
        QFile file(dir.filePath(presence));
        file.open(QIODevice::WriteOnly);  // empty: only its presence counts
    }
    if (layout.tweak) layout.tweak(dir);
}

QRgb Shown(QWidget* control, int x = 1, int y = 1) {
    return control->grab().toImage().pixel(x, y) & 0xFFFFFF;
}

class SkinTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    TForm1 form1;
    TForm4 form4;
    std::uint8_t language = 1;
    std::unique_ptr<Winpicture> skin;

    void Make(const QString& directory) {
        SkinTargets targets;
        targets.form1 = &form1;
        targets.image = form1.Images();
        targets.form4 = &form4;
        targets.menuImage1 = form4.Image1;
        targets.menuImage2 = form4.Image2;
        skin = std::make_unique<Winpicture>(language, targets, directory);
    }
    bool Load(const SkinLayout& layout = {}) {
        WriteSkin(QDir(dir.path()), layout);
        Make(dir.path());
        return skin->LoadSkin();
    }
};

TEST_F(SkinTest, LayoutOfASmallSkin) {
    form1.move(100, 100);
    ASSERT_TRUE(Load()) << skin->SkinError().toStdString();
    EXPECT_EQ(form1.Image1->geometry(), QRect(0, 0, 60, 40));
    EXPECT_TRUE(skin->Shaped());
    EXPECT_EQ(skin->Outline().front(), QPoint(5, 3));
    EXPECT_EQ(skin->Outline().back(), QPoint(5, 3));
    EXPECT_EQ(skin->KeyColour(), kKey);
    EXPECT_EQ(form1.Image2->geometry(), QRect(182, 275, 10, 8));
    EXPECT_EQ(form1.Image3->geometry(), QRect(83, 247, 10, 8));
    EXPECT_EQ(form1.Image7->geometry(), QRect(109, 31, 10, 8));
    EXPECT_EQ(form1.Image8->geometry(), QRect(62, 76, 24, 6));
    EXPECT_EQ(Shown(form1.Image8), DisplayColour(0, 0));
    EXPECT_EQ(Shown(form1.Image2), ReleasedColour(kButtonEnter));
    EXPECT_EQ(form4.size(), QSize(30, 10));
    EXPECT_EQ(form4.Image1->pos(), QPoint(0, 0));
    EXPECT_TRUE(form4.Image2->isHidden());
    EXPECT_TRUE(form4.isHidden());
    EXPECT_EQ(form4.pos(), form1.pos() + QPoint(300, 260));
    EXPECT_EQ(skin->CurrentMenuRow(), 0);
    EXPECT_EQ(skin->LastProgressStage(), 1);
    for (const char* name : {"Image1", "Image2", "Image3", "Image4", "Image5", "Image6", "Image7",
                             "Image8", "Image9", "Timer1"}) {
        EXPECT_NE(form1.findChild<QObject*>(name), nullptr) << name;
    }
}

TEST_F(SkinTest, IncompleteOrBrokenSkins) {
    // The panel under a name in capitals is not the panel: 22 files.
    // Names match as the system's own do: case counts on Linux only.
    const bool loaded = Load({.tweak = [](const QDir& d) {
        QFile::rename(d.filePath("mdpek.dat"), d.filePath("MDPEK.DAT"));
    }});
#ifdef _WIN32
    EXPECT_TRUE(loaded) << skin->SkinError().toStdString();
#else
    EXPECT_FALSE(loaded);
    EXPECT_EQ(skin->Problem(), SkinProblem::Missing);
    EXPECT_NE(skin->SkinError().indexOf("22 of the 23"), -1);
    language = 0;
    EXPECT_NE(skin->SkinError().indexOf("22 из 23"), -1) << skin->SkinError().toStdString();
    language = 1;
    EXPECT_FALSE(skin->Shaped());

    // The same directory made whole: the count starts again from 0.
    EXPECT_TRUE(Load({.tweak = [](const QDir& d) { QFile::remove(d.filePath("MDPEK.DAT")); }}));
#endif

    // A skin file that is not a bitmap is named.
    EXPECT_FALSE(Load({.tweak = [](const QDir& d) {
        QFile file(d.filePath("mddwen.dat"));
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write("not a picture");
    }}));
    EXPECT_EQ(skin->Problem(), SkinProblem::Broken);
    EXPECT_NE(skin->SkinError().indexOf("mddwen.dat is not a bitmap"), -1);

    // A FIFO is never waited on, and a picture too large to trace is not decoded.
#ifndef _WIN32
    EXPECT_FALSE(Load({.tweak = [](const QDir& d) {
        QFile::remove(d.filePath("mddwen.dat"));
        ::mkfifo(QFile::encodeName(d.filePath("mddwen.dat")).constData(), 0600);
    }}));
    EXPECT_NE(skin->SkinError().indexOf("mddwen.dat\" is not a regular file"), -1);
    QFile::remove(QDir(dir.path()).filePath("mddwen.dat"));
#endif
    EXPECT_FALSE(Load({.tweak = [](const QDir& d) {
        QImage(2049, 4, QImage::Format_Mono).save(d.filePath("mdpek.dat"), "BMP");
    }}));
    EXPECT_NE(skin->SkinError().indexOf("2049 x 4 pixels"), -1) << skin->SkinError().toStdString();

    // Further .dat files are ignored, and loading writes nothing anywhere.
    WriteSkin(QDir(dir.path()), {.tweak = [](const QDir& d) {
                  QImage(2, 2, QImage::Format_RGB32).save(d.filePath("extra.dat"), "BMP");
              }});
    const QStringList before =
        QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    Make(dir.path());
    EXPECT_TRUE(skin->LoadSkin());
    EXPECT_EQ(skin->Problem(), SkinProblem::None);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              before);
}

TEST_F(SkinTest, OddButtonsAndUnevenStrips) {
    ASSERT_TRUE(Load({.buttonHalf = 10, .buttonExtra = 1, .displayExtra = 5, .tweak = nullptr}));
    EXPECT_EQ(skin->Button(kButtonEnter).halfWidth, 10);
    EXPECT_EQ(form1.Image2->size(), QSize(10, 8));
    skin->SetButtonState(kButtonEnter, 0);
    EXPECT_EQ(skin->Button(kButtonEnter).source, QRect(10, 0, 10, 8));
    EXPECT_EQ(Shown(form1.Image2, 9, 1), PressedColour(kButtonEnter));
    // 14 * 6 + 5 rows: each row is 6 high; row 13 ends 84 rows from the top.
    EXPECT_EQ(skin->Display().rowHeight, 6);
    skin->ShowStripRow(kTargetDisplay, 13);
    EXPECT_EQ(skin->Display().source, QRect(24, 78, 24, 6));
    EXPECT_EQ(Shown(form1.Image8, 1, 5), DisplayColour(13, 1));
}

TEST_F(SkinTest, ButtonsAndTheLamp) {
    ASSERT_TRUE(Load());
    skin->SetButtonState(kButtonUp, 0);
    skin->SetButtonState(kButtonUp, 0);  // already pressed: no second shift
    EXPECT_EQ(skin->Button(kButtonUp).source.left(), 10);
    EXPECT_EQ(Shown(form1.Image3), PressedColour(kButtonUp));
    skin->SetButtonState(kButtonUp, 1);
    skin->SetButtonState(kButtonUp, 1);
    EXPECT_EQ(skin->Button(kButtonUp).source.left(), 0);
    EXPECT_EQ(Shown(form1.Image3), ReleasedColour(kButtonUp));
    skin->SetButtonState(7, 0);          // no such kind
    skin->SetButtonState(kButtonUp, 2);  // no such state
    EXPECT_EQ(Shown(form1.Image3), ReleasedColour(kButtonUp));

    skin->ShowStripRow(kTargetDisplay, 1);
    skin->ShowStripRow(kTargetDisplay, 1);
    EXPECT_EQ(skin->Button(kButtonLamp).source.left(), 10);
    EXPECT_EQ(Shown(form1.Image7), PressedColour(kButtonLamp));
    EXPECT_EQ(Shown(form1.Image8), DisplayColour(1, 1));
    skin->ShowStripRow(kTargetDisplay, 3);
    EXPECT_EQ(Shown(form1.Image7), ReleasedColour(kButtonLamp));
    EXPECT_EQ(Shown(form1.Image8), DisplayColour(3, 1));
}

TEST_F(SkinTest, ProgressStagesMenuRowsAndLanguage) {
    ASSERT_TRUE(Load());
    skin->ShowProgressStage(1);  // the stage after loading: nothing drawn
    EXPECT_EQ(Shown(form1.Image8), DisplayColour(0, 0));
    skin->ShowProgressStage(0);
    EXPECT_EQ(Shown(form1.Image8), DisplayColour(5, 1));
    skin->ShowProgressStage(1);
    EXPECT_EQ(Shown(form1.Image8), DisplayColour(6, 1));
    skin->ShowProgressStage(10);
    EXPECT_EQ(Shown(form1.Image8), DisplayColour(6, 1));
    skin->ShowProgressStage(0);
    EXPECT_EQ(Shown(form1.Image8), DisplayColour(5, 1));

    skin->ShowStripRow(kTargetMenu, 2);
    EXPECT_TRUE(form4.isVisible());
    EXPECT_EQ(Shown(form4.Image1), MenuColour(2, 1));
    skin->ShowStripRow(kTargetMenu, 5);  // below the last item: nothing marked, row kept
    EXPECT_EQ(skin->CurrentMenuRow(), 5);
    EXPECT_EQ(Shown(form4.Image1), MenuColour(0, 1));
    skin->ShowStripRow(kTargetDisplay, 14);
    EXPECT_EQ(Shown(form1.Image8), DisplayColour(5, 1));
    skin->HideMenuShowReady();
    EXPECT_TRUE(form4.isHidden());
    EXPECT_EQ(skin->CurrentMenuRow(), 5);
    EXPECT_EQ(Shown(form1.Image8), DisplayColour(1, 1));

    language = 2;
    skin->ShowStripRow(1, 4);  // no such target: nothing drawn, but the language is corrected
    EXPECT_EQ(language, 0);
    EXPECT_EQ(Shown(form1.Image8), DisplayColour(1, 1));
    language = 2;
    skin->ShowStripRow(kTargetDisplay, 4);
    EXPECT_EQ(language, 0);
    EXPECT_EQ(Shown(form1.Image8), DisplayColour(4, 0));
}

// The panel and the menu stay inside the screen's available area: the panel moved as little as
// it can, the menu beside it on the right, or on the left when the right has no room.
TEST(Placement, PanelAndMenuStayOnTheScreen) {
    const QSize panel(300, 480);
    const QSize menu(200, 116);
    const QRect fullHd(0, 0, 1920, 1080);
    const QRect scaled(0, 0, 960, 540);  // 1080 lines at a scale factor of 2
    struct Case {
        QPoint panelAt;
        QRect available;
        QPoint panelPlace;
        QPoint menuPlace;
    };
    const Case cases[] = {
        {{666, 142}, fullHd, {666, 142}, {966, 402}},          // room for both
        {{1700, 900}, fullHd, {1620, 600}, {1420, 860}},       // right and bottom edges: menu left
        {{-40, -10}, fullHd, {0, 0}, {300, 260}},              // left and top edges
        {{666, 142}, scaled, {660, 60}, {460, 320}},           // the small screen
        {{666, 142}, {0, 0, 400, 400}, {100, 0}, {0, 260}},    // neither side has room
        {{3500, 50}, {1920, 40, 1280, 984}, {2900, 50}, {2700, 310}},  // a second screen
        {{5, 5}, {64, 32, 1856, 1048}, {64, 32}, {364, 292}},          // task bars left and top
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.panelAt.x() << "," << c.panelAt.y());
        const QPoint at = KeepInside(QRect(c.panelAt, panel), c.available);
        EXPECT_EQ(at, c.panelPlace);
        const QPoint menuAt = MenuPlace(QRect(at, panel), menu, c.available);
        EXPECT_EQ(menuAt, c.menuPlace);
        EXPECT_TRUE(c.available.contains(QRect(menuAt, menu)));
    }
    // No screen known: the places as they are.
    EXPECT_EQ(MenuPlace(QRect(QPoint(1700, 900), panel), menu, QRect()), QPoint(2000, 1160));
}

// The skin the build generates: it loads, and the panel traces to a closed outline.
TEST_F(SkinTest, TheGeneratedSkin) {
    Make(TAVEX_RUN_DIR);
    ASSERT_TRUE(skin->LoadSkin()) << skin->SkinError().toStdString();
    EXPECT_TRUE(skin->Shaped());
    const QImage panel = form1.Image1->Canvas();
    EXPECT_EQ(form1.size(), panel.size());
    EXPECT_EQ(skin->Outline().front(), skin->Outline().back());
    EXPECT_GT(skin->Outline().size(), 8);
    // Every corner lies on the panel's border: opaque, next to the key colour or the edge.
    for (const QPoint& p : skin->Outline()) {
        ASSERT_NE(panel.pixel(p) & 0xFFFFFF, skin->KeyColour());
    }
    EXPECT_EQ(skin->Display().rows, 14);
    EXPECT_EQ(skin->Menu().rowHeight >= 112, true);
    EXPECT_EQ(form4.size(), QSize(skin->Menu().columnWidth, skin->Menu().rowHeight));
}

}  // namespace
}  // namespace tavex
