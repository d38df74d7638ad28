#pragma once

#include <QFileDialog>
#include <QTimer>
#include <QWidget>
#include <array>
#include <cstdint>

#include "skin/image_control.h"
#include "skin/winpicture.h"

namespace tavex {

// The main window: the meter's front panel. A borderless window whose picture and shape come
// from the skin; Image1 is the panel, Image2..Image4 the Enter, up and down keys, Image5, Image6
// and Image9 the minimise, close and help buttons, Image7 the connection lamp and Image8 the
// display.
class TForm1 : public QWidget {
public:
    explicit TForm1(QWidget* parent = nullptr);

    ImageControl* Image1;
    ImageControl* Image2;
    ImageControl* Image3;
    ImageControl* Image4;
    ImageControl* Image5;
    ImageControl* Image7;
    ImageControl* Image9;
    ImageControl* Image6;
    ImageControl* Image8;
    QTimer* Timer1;
    QFileDialog* SaveDialog1;

    std::int32_t DragX = 0;
    std::int32_t DragY = 0;
    std::uint8_t Dragging = 0;
    std::uint8_t Activated = 0;

    // Image1 .. Image9 by number (index 0 unused), for the skin.
    std::array<ImageControl*, 10> Images() const;

    // Mouse handlers, bound to the controls under these names.
    virtual void Image1MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    virtual void Image1MouseMove(Qt::KeyboardModifiers shift, int x, int y);
    virtual void Image1MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    virtual void Image2MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    virtual void Image2MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    virtual void Image3MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    virtual void Image3MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    virtual void Image4MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    virtual void Image4MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    virtual void Image5MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    virtual void Image5MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    virtual void Image6MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    virtual void Image6MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    virtual void Image9MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    virtual void Image9MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    virtual void Timer1Timer();
    virtual void FormActivate();
    virtual void FormClose();

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
};

// The program's window icon.
QIcon TavexIcon();

}  // namespace tavex
