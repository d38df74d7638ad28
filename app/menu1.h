#pragma once

#include <QWidget>
#include <cstdint>

#include "skin/image_control.h"

namespace tavex {

class TForm1;

// The menu window: a borderless window beside the panel that shows one picture of the menu
// strip in its Image1, with one item marked; Image2 is hidden by the skin.
class TForm4 : public QWidget {
public:
    explicit TForm4(QWidget* parent = nullptr);

    ImageControl* Image1;
    ImageControl* Image2;
    std::uint8_t Selected = 0;
    // The panel whose actions the items run.
    TForm1* Form1 = nullptr;

    void Image1Click();
    void Image1MouseMove(Qt::KeyboardModifiers shift, int x, int y);
    void SelectPrevious();
    void SelectNext();
    void ExecuteSelected();
};

}  // namespace tavex
