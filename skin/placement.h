#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

namespace tavex {

// Where the menu window lies beside the panel when there is room: right of and below the
// panel's top-left corner.
inline constexpr QPoint kMenuOffset(300, 260);

// The top-left corner that keeps a window of the given bounds inside the available area, moved
// as little as it can be. A window larger than the area keeps its top-left corner (and so the
// panel's drag strip) inside it.
QPoint KeepInside(const QRect& window, const QRect& available);

// The menu's top-left corner: at kMenuOffset from the panel; when that leaves no room on the
// right, mirrored to the panel's left side; then kept inside the available area.
QPoint MenuPlace(const QRect& panel, const QSize& menu, const QRect& available);

// The available area (without task bars) of the screen that holds the centre of bounds, or of
// window's own screen when no screen does.
QRect AvailableArea(const QWidget* window, const QRect& bounds);

// KeepInside for window at bounds, on the screen those bounds are on.
QPoint KeptOnScreen(const QWidget* window, const QRect& bounds);

}  // namespace tavex
