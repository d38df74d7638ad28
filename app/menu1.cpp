#include "app/menu1.h"

#include "app/tavex_m.h"

namespace tavex {

void TForm4::Image1Click() { ExecuteSelected(); }

void TForm4::Image1MouseMove(Qt::KeyboardModifiers, int, int y) {
    if (!Form1 || !Form1->Skin()) return;
    // Each item is 28 pixels high; the pixel row between the first two changes nothing.
    std::uint8_t item;
    if (y < 27) {
        item = 1;
    } else if (y == 27) {
        return;
    } else if (y <= 56) {
        item = 2;
    } else if (y <= 83) {
        item = 3;
    } else if (y <= 111) {
        item = 4;
    } else {
        item = 5;
    }
    if (item != Form1->Skin()->CurrentMenuRow()) Form1->Skin()->ShowStripRow(kTargetMenu, item);
}

void TForm4::SelectPrevious() {
    Winpicture* skin = Form1->Skin();
    Selected = skin->CurrentMenuRow();
    if (Selected == 0) Selected = 1;
    Selected = static_cast<std::uint8_t>(Selected - 1);
    if (Selected == 0) Selected = 4;
    skin->ShowStripRow(kTargetMenu, Selected);
}

void TForm4::SelectNext() {
    Winpicture* skin = Form1->Skin();
    const std::uint8_t current = skin->CurrentMenuRow();
    Selected = current > 3 ? 1 : static_cast<std::uint8_t>(current + 1);
    skin->ShowStripRow(kTargetMenu, Selected);
}

void TForm4::ExecuteSelected() {
    if (!Form1 || !Form1->Skin()) return;
    Winpicture* skin = Form1->Skin();
    switch (skin->CurrentMenuRow()) {
        case 1:
            skin->HideMenu();
            Form1->StartExport();
            break;
        case 2:
            skin->HideMenu();
            Form1->RequestClearMemory();
            break;
        case 3:
            skin->HideMenuShowReady();
            if (Form1->Form2()) Form1->Form2()->SetInstrumentClock();
            break;
        case 4:
            Form1->close();
            break;
        default:
            break;
    }
}

}  // namespace tavex
