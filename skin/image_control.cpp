#include "skin/image_control.h"

#include <QMouseEvent>
#include <QPainter>

namespace tavex {

ImageControl::ImageControl(QWidget* parent) : QWidget(parent) {
    // The picture covers the control; nothing behind it needs painting.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
}

void ImageControl::SetPicture(const QImage& picture) {
    canvas_ = picture.convertToFormat(QImage::Format_RGB32);
    if (autoSize_) FitToCanvas();
    update();
}

QRgb ImageControl::Pixel(int x, int y) const {
    if (!canvas_.valid(x, y)) return 0;
    return canvas_.pixel(x, y) & 0xFFFFFF;
}

void ImageControl::CopyRect(const QImage& bitmap, const QRect& source, const QRect& destination) {
    // An empty destination copies nothing (a button of a skin not loaded); no painter is ever
    // started on an empty canvas.
    if (destination.isEmpty()) return;
    const QSize needed(std::max(canvas_.width(), destination.right() + 1),
                       std::max(canvas_.height(), destination.bottom() + 1));
    if (needed != canvas_.size()) {
        QImage grown(needed, QImage::Format_RGB32);
        grown.fill(Qt::black);
        QPainter copy(&grown);
        copy.drawImage(0, 0, canvas_);
        canvas_ = grown;
    }
    if (canvas_.isNull()) return;  // the destination lies wholly left of or above it
    QPainter painter(&canvas_);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    // Parts of the source beyond the bitmap stay as they are drawn: black.
    painter.fillRect(destination, Qt::black);
    painter.drawImage(destination, bitmap, source);
    painter.end();
    if (autoSize_) FitToCanvas();
    update();
}

void ImageControl::SetAutoSize(bool on) {
    autoSize_ = on;
    if (on) FitToCanvas();
}

void ImageControl::FitToCanvas() {
    if (!canvas_.isNull()) resize(canvas_.size());
}

void ImageControl::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    painter.drawImage(0, 0, canvas_);
}

void ImageControl::mousePressEvent(QMouseEvent* event) {
    pressedInside_ = true;
    const QPoint at = event->position().toPoint();
    emit MouseDown(event->button(), event->modifiers(), at.x(), at.y());
}

void ImageControl::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    emit MouseUp(event->button(), event->modifiers(), at.x(), at.y());
    if (pressedInside_ && rect().contains(at)) emit Click();
    pressedInside_ = false;
}

void ImageControl::mouseMoveEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    emit MouseMove(event->modifiers(), at.x(), at.y());
}

void AutoSizeForm(QWidget* form) {
    QRect bounds;
    for (QWidget* child : form->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!child->isHidden()) bounds = bounds.united(child->geometry());
    }
    if (bounds.isNull()) return;
    const QPoint shift = -bounds.topLeft();
    for (QWidget* child : form->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!child->isHidden()) child->move(child->pos() + shift);
    }
    form->resize(bounds.size());
}

}  // namespace tavex
