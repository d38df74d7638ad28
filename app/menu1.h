#pragma once

#include <QWidget>
#include <cstdint>

#include "skin/image_control.h"

namespace tavex {

// The menu window: a borderless window beside the panel that shows one picture of the menu
// strip in its Image1; Image2 is hidden by the skin.
class TForm4 : public QWidget {
public:
    explicit TForm4(QWidget* parent = nullptr);

    ImageControl* Image1;
    ImageControl* Image2;
    std::uint8_t Selected = 0;

    virtual void Image1Click();
    virtual void Image1MouseMove(Qt::KeyboardModifiers shift, int x, int y);
};

}  // namespace tavex
