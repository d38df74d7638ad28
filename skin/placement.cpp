#include "skin/placement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace tavex {

namespace {

// The start of a span of the given length inside [low, low + room), as near to start as it can;
// a span longer than the room starts at low.
int Clamp(int start, int length, int low, int room) {
    return std::max(low, std::min(start, low + room - length));
}

}  // namespace

QPoint KeepInside(const QRect& window, const QRect& available) {
    if (!available.isValid()) return window.topLeft();
    return {Clamp(window.left(), window.width(), available.left(), available.width()),
            Clamp(window.top(), window.height(), available.top(), available.height())};
}

QPoint MenuPlace(const QRect& panel, const QSize& menu, const QRect& available) {
    QPoint place = panel.topLeft() + kMenuOffset;
    if (available.isValid()) {
        const int roomRight = available.left() + available.width() - place.x();
        if (roomRight < menu.width()) {
            // The mirror image of the right-hand place: the menu overlaps the panel's left edge
            // as much as it overlaps its right edge there.
            const int left = panel.left() + panel.width() - kMenuOffset.x() - menu.width();
            const int roomLeft = left + menu.width() - available.left();
            if (roomLeft >= menu.width() || roomLeft > roomRight) place.setX(left);
        }
    }
    return KeepInside(QRect(place, menu), available);
}

QRect AvailableArea(const QWidget* window, const QRect& bounds) {
    QScreen* screen = QGuiApplication::screenAt(bounds.center());
    if (!screen && window) screen = window->screen();
    if (!screen) screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

QPoint KeptOnScreen(const QWidget* window, const QRect& bounds) {
    return KeepInside(bounds, AvailableArea(window, bounds));
}

}  // namespace tavex
