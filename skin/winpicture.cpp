#include "skin/winpicture.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QRegion>
#include <array>
#include <utility>
#include <vector>

#include "fileio/safe_file.h"
#include "skin/outline.h"
#include "skin/placement.h"

namespace tavex {

namespace {

// What a skin file becomes.
enum class Target { Panel, Unused, Button, MenuStrip, DisplayStrip, Presence };

#ifdef _WIN32
constexpr Qt::CaseSensitivity kNameCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kNameCase = Qt::CaseSensitive;
#endif

struct SkinFile {
    const char* name;
    Target target;
    int index;  // button kind, or the number of the unused bitmap
};

constexpr SkinFile kSkinFiles[kSkinFileCount] = {
    {"mdpek.dat", Target::Panel, 0},      {"mdwnm.dat", Target::Unused, 0},
    {"mddwen.dat", Target::Button, 2},    {"mddwur.dat", Target::Button, 0},
    {"mddwmn.dat", Target::Button, 1},    {"mddwmz.dat", Target::Button, 3},
    {"mdswcl.dat", Target::Button, 4},    {"mdswhl.dat", Target::Button, 6},
    {"mdswon.dat", Target::Button, 5},    {"rdswup.dat", Target::Unused, 1},
    {"pdswup.dat", Target::Unused, 2},    {"rdswmn.dat", Target::Unused, 3},
    {"pdswmn.dat", Target::Unused, 4},    {"rddwex.dat", Target::Unused, 5},
    {"pddwex.dat", Target::Unused, 6},    {"rddwhl.dat", Target::Unused, 7},
    {"pddwhl.dat", Target::Unused, 8},    {"mdmner.dat", Target::MenuStrip, 0},
    {"mdmedsr.dat", Target::DisplayStrip, 0}, {"exgron.dat", Target::Presence, 0},
    {"exyron.dat", Target::Presence, 0},  {"exrron.dat", Target::Presence, 0},
    {"mdlbem.dat", Target::Presence, 0},
};

// The skin files among the folder's entries, each with its name as found there.
std::vector<std::pair<QString, const SkinFile*>> SkinEntries(const QDir& directory) {
    const QStringList entries = directory.entryList(
        {"*.dat"}, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDir::Name);
    std::vector<std::pair<QString, const SkinFile*>> files;
    std::array<bool, kSkinFileCount> found{};
    for (const QString& entry : entries) {
        // Names match as the system's own file names do: case counts on Linux, not on Windows.
        const SkinFile* file = nullptr;
        for (const SkinFile& candidate : kSkinFiles) {
            if (entry.compare(QLatin1String(candidate.name), kNameCase) == 0) file = &candidate;
        }
        // Under Wine a folder may hold two names that differ only in case: the first counts.
        if (!file || found[file - kSkinFiles]) continue;
        found[file - kSkinFiles] = true;
        files.emplace_back(entry, file);
    }
    return files;
}

// Button kind -> Form1's image control number and its place on the panel.
struct Placement {
    int image;
    int left;
    int top;
};
constexpr Placement kButtonPlaces[7] = {
    {3, 83, 247},   // 0 up
    {4, 100, 354},  // 1 down
    {2, 182, 275},  // 2 Enter
    {5, 224, 22},   // 3 minimise
    {6, 245, 22},   // 4 close
    {7, 109, 31},   // 5 connection lamp
    {9, 204, 22},   // 6 help
};
constexpr int kButtonLayoutOrder[7] = {2, 0, 1, 3, 4, 5, 6};
constexpr QPoint kDisplayPlace(62, 76);

// The largest skin file and picture taken: the panel is a few hundred pixels each way, and its
// outline is traced pixel by pixel on the GUI thread.
constexpr std::uint64_t kMaxSkinFileBytes = 20u << 20;  // a 2048 x 2048 picture of 32 bits and more
constexpr int kMaxSkinPictureSide = 2048;

using SkinMessage = std::array<QString, 2>;  // Russian, English

SkinMessage Unusable(const QString& russian, const QString& english) {
    return {QStringLiteral("Не удаётся загрузить оформление панели: %1.").arg(russian),
            QStringLiteral("The panel's skin cannot be loaded: %1.").arg(english)};
}

// The skin files are bitmaps whatever their extension says. Only a regular file of sane size is
// read, and only a picture of sane size decoded; error names the file otherwise.
bool LoadBitmap(const QString& path, QImage& image, SkinMessage& error) {
    std::string bytes;
    std::string why;
    ReadLimits limits;
    limits.maxSize = kMaxSkinFileBytes;
    if (!ReadRegularFile(QFile::encodeName(path).toStdString(), limits, bytes, why)) {
        // The file system's own words.
        const QString reason = QString::fromStdString(why);
        error = Unusable(reason, reason);
        return false;
    }
    QByteArray data(bytes.data(), static_cast<qsizetype>(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "BMP");
    reader.setDecideFormatFromContent(false);
    const QSize size = reader.size();
    if (size.width() > kMaxSkinPictureSide || size.height() > kMaxSkinPictureSide) {
        error = Unusable(
            QStringLiteral("%1 — рисунок %2 x %3 точек, а рисунок оформления не больше %4 x %4")
                .arg(path)
                .arg(size.width())
                .arg(size.height())
                .arg(kMaxSkinPictureSide),
            QStringLiteral("%1 is a picture of %2 x %3 pixels; a skin picture is at most %4 x %4")
                .arg(path)
                .arg(size.width())
                .arg(size.height())
                .arg(kMaxSkinPictureSide));
        return false;
    }
    QImage loaded = reader.read();
    if (loaded.isNull()) {
        error = Unusable(QStringLiteral("%1 — не рисунок BMP").arg(path),
                         QStringLiteral("%1 is not a bitmap").arg(path));
        return false;
    }
    image = loaded.convertToFormat(QImage::Format_RGB32);
    return true;
}

void SetupStrip(SkinStrip& strip, int rows) {
    strip.rows = rows;
    strip.rowHeight = strip.bitmap.height() / rows;
    strip.columnWidth = strip.bitmap.width() / 2;
    strip.source = QRect(0, 0, strip.columnWidth, strip.rowHeight);
    strip.destination = strip.source;
}

}  // namespace

Winpicture::Winpicture(std::uint8_t& language, SkinTargets targets, QString directory)
    : language_(language), targets_(std::move(targets)), directory_(std::move(directory)) {}

ImageControl* Winpicture::ButtonControl(int kind) const {
    return targets_.image[kButtonPlaces[kind].image];
}

int SkinFilesIn(const QString& folder) {
    return static_cast<int>(SkinEntries(QDir(folder)).size());
}

bool Winpicture::LoadSkin() {
    problem_ = SkinProblem::None;
    error_ = {};
    // Every run starts from fresh bitmaps and a count of 0.
    buttons_ = {};
    display_ = {};
    menu_ = {};
    unused_ = {};
    QImage panel;

    const QDir directory(directory_.isEmpty() ? QDir::currentPath() : directory_);
    int count = 0;
    for (const auto& [entry, file] : SkinEntries(directory)) {
        ++count;
        if (file->target == Target::Presence) continue;
        QImage* into = nullptr;
        switch (file->target) {
            case Target::Panel:
                into = &panel;
                break;
            case Target::Unused:
                into = &unused_[file->index];
                break;
            case Target::Button:
                into = &buttons_[file->index].bitmap;
                break;
            case Target::MenuStrip:
                into = &menu_.bitmap;
                break;
            case Target::DisplayStrip:
                into = &display_.bitmap;
                break;
            case Target::Presence:
                break;
        }
        if (!LoadBitmap(directory.filePath(entry), *into, error_)) {
            problem_ = SkinProblem::Broken;
            return false;
        }
    }
    if (count != kSkinFileCount) {
        problem_ = SkinProblem::Missing;
        error_ = {
            QStringLiteral("Оформление панели неполное: в папке %3 найдено %1 из %2 файлов.")
                .arg(count)
                .arg(kSkinFileCount)
                .arg(directory.path()),
            QStringLiteral("The panel's skin is incomplete: %1 of the %2 skin files are in %3.")
                .arg(count)
                .arg(kSkinFileCount)
                .arg(directory.path())};
        return false;
    }

    // The panel, and the window cut to its outline.
    ImageControl* image1 = targets_.image[1];
    image1->SetAutoSize(true);
    image1->SetPicture(panel);
    keyColour_ = image1->Pixel(0, 0);
    if (TraceAndShape()) {
        image1->move(0, 0);
        if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
            targets_.form1->setMask(QRegion(outline_, Qt::OddEvenFill));
        }
        targets_.form1->show();
    }

    for (int kind : kButtonLayoutOrder) {
        SkinButton& button = buttons_[kind];
        button.halfWidth = button.bitmap.width() / 2;
        button.source = QRect(0, 0, button.halfWidth, button.bitmap.height());
        button.destination = button.source;
        button.pressed = 0;
        ImageControl* control = ButtonControl(kind);
        control->resize(button.halfWidth, button.bitmap.height());
        DrawButton(kind);
        control->move(kButtonPlaces[kind].left, kButtonPlaces[kind].top);
    }

    SetupStrip(display_, kDisplayRows);
    ImageControl* image8 = targets_.image[8];
    image8->resize(display_.columnWidth, display_.rowHeight);
    image8->CopyRect(display_.bitmap, display_.source, display_.destination);
    image8->SetAutoSize(true);
    image8->move(kDisplayPlace);

    SetupStrip(menu_, kMenuRows);
    targets_.menuImage2->hide();
    targets_.menuImage1->resize(menu_.columnWidth, menu_.rowHeight);
    targets_.menuImage1->CopyRect(menu_.bitmap, menu_.source, menu_.destination);
    AutoSizeForm(targets_.form4);
    targets_.form4->hide();

    // A shaped window fits its controls, as they now lie; the panel and the menu beside it stay
    // on the screen.
    if (shaped_) AutoSizeForm(targets_.form1);
    targets_.form1->move(KeptOnScreen(targets_.form1, targets_.form1->geometry()));
    PlaceMenu();

    currentMenuRow_ = 0;
    lastProgressStage_ = 1;
    return true;
}

bool Winpicture::TraceAndShape() {
    outline_.clear();
    shaped_ = false;
    const QImage& picture = targets_.image[1]->Canvas();
    const auto points =
        TraceOutline(picture.width(), picture.height(), keyColour_,
                     [&picture](std::int32_t x, std::int32_t y) { return picture.pixel(x, y) & 0xFFFFFF; });
    if (!points) return false;
    for (const OutlinePoint& p : *points) outline_ << QPoint(p.x, p.y);
    shaped_ = true;
    return true;
}

void Winpicture::DrawButton(int kind) {
    const SkinButton& button = buttons_[kind];
    ButtonControl(kind)->CopyRect(button.bitmap, button.source, button.destination);
}

void Winpicture::SetButtonState(std::int8_t kind, std::uint8_t state) {
    if (kind < 0 || kind > 6) return;
    SkinButton& button = buttons_[kind];
    // No skin loaded: there is no picture to show either half of.
    if (button.bitmap.isNull()) return;
    if (state == 0 && button.pressed == 0) {
        button.source.translate(button.halfWidth, 0);
        button.pressed = 1;
        DrawButton(kind);
    } else if (state == 1 && button.pressed == 1) {
        button.source.translate(-button.halfWidth, 0);
        button.pressed = 0;
        DrawButton(kind);
    }
}

void Winpicture::ShowStripRow(std::uint8_t target, std::uint8_t row) {
    if (language_ > 1) language_ = 0;
    const int column = language_;
    if (target == kTargetMenu) {
        const SkinStrip& strip = menu_;
        if (targets_.form4->isHidden()) PlaceMenu();
        targets_.form4->show();
        // A row beyond the strip (the zone below the last item) runs nothing: it shows the menu
        // with no item marked, yet counts as the current row.
        const int shown = row < strip.rows ? row : 0;
        menu_.source = QRect(column * strip.columnWidth, shown * strip.rowHeight, strip.columnWidth,
                             strip.rowHeight);
        targets_.menuImage1->CopyRect(strip.bitmap, menu_.source, strip.destination);
        currentMenuRow_ = row;
    } else if (target == kTargetDisplay) {
        if (row < display_.rows) {
            display_.source = QRect(column * display_.columnWidth, row * display_.rowHeight,
                                    display_.columnWidth, display_.rowHeight);
            targets_.image[8]->CopyRect(display_.bitmap, display_.source, display_.destination);
        }
        if (row == 3) SetButtonState(kButtonLamp, 1);
        if (row == 1) SetButtonState(kButtonLamp, 0);
    }
}

void Winpicture::HideMenu() { targets_.form4->hide(); }

void Winpicture::PlaceMenu() {
    const QRect panel = targets_.form1->geometry();
    targets_.form4->move(
        MenuPlace(panel, targets_.form4->size(), AvailableArea(targets_.form1, panel)));
}

void Winpicture::HideMenuShowReady() {
    HideMenu();
    ShowStripRow(kTargetDisplay, 1);
}

void Winpicture::ShowProgressStage(std::uint8_t stage) {
    if (stage == lastProgressStage_) return;
    lastProgressStage_ = stage;
    if (stage <= 5) ShowStripRow(kTargetDisplay, static_cast<std::uint8_t>(stage + 5));
}

}  // namespace tavex
