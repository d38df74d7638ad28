#pragma once

#include <QFont>
#include <QImage>
#include <QRgb>

// Geometry and drawing entry points of the skin generator. Positions are in panel pixels and
// must agree with where the program places the separate pictures over the panel.
namespace skingen {

inline constexpr int kPanelWidth = 300;
inline constexpr int kPanelHeight = 480;
// Outside the body; no pixel inside the body has this colour.
inline constexpr QRgb kKeyColour = 0xFFFF00FF;

// Where a picture sits on the panel; w is one half for the two-state pictures.
struct Spot {
    int x, y, w, h;
};
inline constexpr Spot kEnterKey{182, 275, 56, 40};
inline constexpr Spot kUpKey{83, 247, 44, 34};
inline constexpr Spot kDownKey{100, 354, 44, 34};
inline constexpr Spot kHelpButton{204, 22, 18, 18};
inline constexpr Spot kMinimiseButton{224, 22, 18, 18};
inline constexpr Spot kCloseButton{245, 22, 18, 18};
inline constexpr Spot kLamp{109, 31, 14, 14};
inline constexpr Spot kDisplay{62, 76, 176, 120};

inline constexpr int kScreenRows = 14;  // display strip: rows x {Russian, English}
inline constexpr int kMenuRows = 5;     // menu strip: nothing marked, then items 1..4
inline constexpr int kMenuWidth = 200;
inline constexpr int kMenuItemHeight = 28;
inline constexpr int kMenuItems = 4;
inline constexpr int kMenuHeight = kMenuItems * kMenuItemHeight + 4;  // plus a small footer

enum class Key { Up, Down, Enter };
enum class Button { Help, Minimise, Close };

QFont UiFont(int pixelSize, bool bold = false);  // the generator's bundled face

QImage Panel();
QImage KeyPicture(Key key);
QImage ButtonPicture(Button button);
QImage LampPicture();
QImage DisplayStrip();
QImage MenuStrip();
QImage PlainPicture();

}  // namespace skingen
