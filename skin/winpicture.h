#pragma once

#include <QImage>
#include <QPolygon>
#include <QRect>
#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>

#include "skin/image_control.h"
#include "skin/placement.h"

namespace tavex {

// The controls and windows the skin acts on; the forms hand them over at start-up.
struct SkinTargets {
    QWidget* form1 = nullptr;
    // image[1] .. image[9] are Form1's Image1 .. Image9; image[0] is unused.
    std::array<ImageControl*, 10> image{};
    QWidget* form4 = nullptr;
    ImageControl* menuImage1 = nullptr;
    ImageControl* menuImage2 = nullptr;
};

// One of the seven skin buttons: a bitmap with the released picture in its left half and the
// pressed one in its right half.
struct SkinButton {
    QImage bitmap;
    QRect source;       // the half now shown
    QRect destination;  // always the whole control: (0, 0, half width, height)
    std::int32_t halfWidth = 0;
    std::uint8_t pressed = 0;
};

// A bitmap cut into equal cells: rows from the top, two language columns.
struct SkinStrip {
    QImage bitmap;
    std::int32_t rowHeight = 0;
    std::int32_t columnWidth = 0;
    std::int32_t rows = 0;
    QRect source;
    QRect destination;
};

// Button kinds.
enum : std::int8_t {
    kButtonUp = 0,
    kButtonDown = 1,
    kButtonEnter = 2,
    kButtonMinimise = 3,
    kButtonClose = 4,
    kButtonLamp = 5,
    kButtonHelp = 6,
};

// Strip targets of ShowStripRow.
inline constexpr std::uint8_t kTargetMenu = 0;
inline constexpr std::uint8_t kTargetDisplay = 2;

inline constexpr int kDisplayRows = 14;
inline constexpr int kMenuRows = 5;
inline constexpr int kSkinFileCount = 23;

// Why the skin did not load: files missing (perhaps not installed yet), or a file that is there
// but cannot be used.
enum class SkinProblem : std::uint8_t { None, Missing, Broken };

// How many of the 23 skin files the folder holds (names matched as LoadSkin matches them).
int SkinFilesIn(const QString& folder);

// The skin: loads the 23 skin files of the working directory, shapes and lays out the panel,
// and switches the display screens, button pictures and menu pictures.
class Winpicture {
public:
    // language is the program's interface language byte (0 Russian, 1 English), which selects
    // the strips' column; directory is the working directory (empty: the current one).
    Winpicture(std::uint8_t& language, SkinTargets targets, QString directory = QString());

    // True when all 23 files were found and the panel is laid out. On false, Problem says which
    // kind of trouble it is and SkinError says why in the interface language (a missing file
    // count, or a file that is not a bitmap, by name).
    bool LoadSkin();
    SkinProblem Problem() const { return problem_; }
    QString SkinError() const { return error_[language_ == 1 ? 1 : 0]; }

    void SetButtonState(std::int8_t kind, std::uint8_t state);  // state 0 pressed, 1 released
    void ShowStripRow(std::uint8_t target, std::uint8_t row);
    void HideMenu();
    // Puts the menu window beside the panel, inside the panel's screen.
    void PlaceMenu();
    void HideMenuShowReady();
    std::uint8_t CurrentMenuRow() const { return currentMenuRow_; }
    void ShowProgressStage(std::uint8_t stage);

    // Read by tests and tools.
    QRgb KeyColour() const { return keyColour_; }
    const QPolygon& Outline() const { return outline_; }
    bool Shaped() const { return shaped_; }
    const SkinButton& Button(int kind) const { return buttons_[kind]; }
    const SkinStrip& Display() const { return display_; }
    const SkinStrip& Menu() const { return menu_; }
    std::int32_t LastProgressStage() const { return lastProgressStage_; }

private:
    bool TraceAndShape();
    void DrawButton(int kind);
    ImageControl* ButtonControl(int kind) const;

    std::uint8_t& language_;
    SkinTargets targets_;
    QString directory_;
    SkinProblem problem_ = SkinProblem::None;
    std::array<QString, 2> error_;  // Russian, English

    QRgb keyColour_ = 0;
    QPolygon outline_;
    bool shaped_ = false;
    std::array<SkinButton, 7> buttons_;
    SkinStrip display_;
    SkinStrip menu_;
    std::array<QImage, 9> unused_;  // loaded with the skin, never drawn
    std::uint8_t currentMenuRow_ = 0;
    std::int32_t lastProgressStage_ = 1;
};

}  // namespace tavex
