#pragma once

#include <QImage>
#include <QWidget>

namespace tavex {

// An image control: shows a picture on its canvas, which can be drawn on by copying rectangles
// of bitmaps onto it, and reports mouse down, up, move and click with the button, the modifier
// keys and X, Y in its own coordinates. With auto-size on it takes the size of its picture.
class ImageControl : public QWidget {
    Q_OBJECT

public:
    explicit ImageControl(QWidget* parent = nullptr);

    void SetPicture(const QImage& picture);
    const QImage& Canvas() const { return canvas_; }
    QRgb Pixel(int x, int y) const;
    // Copies the source rectangle of bitmap onto the canvas at the destination rectangle (equal
    // sizes; a plain copy). The canvas grows to hold the destination if it has to.
    void CopyRect(const QImage& bitmap, const QRect& source, const QRect& destination);
    void SetAutoSize(bool on);
    bool AutoSize() const { return autoSize_; }

signals:
    void MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, int x, int y);
    void MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, int x, int y);
    void MouseMove(Qt::KeyboardModifiers modifiers, int x, int y);
    void Click();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void FitToCanvas();

    QImage canvas_;
    bool autoSize_ = false;
    bool pressedInside_ = false;
};

// Fits a form to its visible controls, as auto-size does: the controls are moved so that
// together they start at the form's top-left corner, and the form takes their size.
void AutoSizeForm(QWidget* form);

}  // namespace tavex
