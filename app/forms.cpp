#include <QCloseEvent>
#include <QEvent>
#include <QIcon>
#include <QPainter>
#include <QPixmap>

#include "app/menu1.h"
#include "app/tavex_m.h"
#include "skin/placement.h"

namespace tavex {

namespace {

ImageControl* MakeImage(QWidget* form, const char* name, int left, int top, int width, int height) {
    auto* image = new ImageControl(form);
    image->setObjectName(QString::fromLatin1(name));
    image->setGeometry(left, top, width, height);
    return image;
}

template <typename Form>
void BindMouse(Form* form, ImageControl* image,
               void (Form::*down)(Qt::MouseButton, Qt::KeyboardModifiers, int, int),
               void (Form::*up)(Qt::MouseButton, Qt::KeyboardModifiers, int, int)) {
    QObject::connect(image, &ImageControl::MouseDown, form,
                     [form, down](Qt::MouseButton b, Qt::KeyboardModifiers m, int x, int y) { (form->*down)(b, m, x, y); });
    QObject::connect(image, &ImageControl::MouseUp, form,
                     [form, up](Qt::MouseButton b, Qt::KeyboardModifiers m, int x, int y) { (form->*up)(b, m, x, y); });
}

}  // namespace

QIcon TavexIcon() {
    // A small meter: a dark body, a green display and a lit lamp.
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(0x2E, 0x3A, 0x46));
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(QRectF(5, 1, 22, 30), 4, 4);
    painter.setBrush(QColor(0xA8, 0xD8, 0x90));
    painter.drawRect(QRectF(8, 6, 16, 11));
    painter.setBrush(QColor(0x40, 0xE0, 0x40));
    painter.drawEllipse(QRectF(13, 21, 6, 6));
    painter.end();
    return QIcon(pixmap);
}

TForm1::TForm1(QWidget* parent) : QWidget(parent, Qt::FramelessWindowHint) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Form1"));
    setWindowIcon(TavexIcon());
    resize(324, 513);
    // Its place on a large screen; on a smaller one, as near to it as the screen allows.
    move(KeptOnScreen(this, QRect(QPoint(666, 142), size())));
    // Creation order: later controls lie above earlier ones.
    Image1 = MakeImage(this, "Image1", 16, 0, 297, 601);
    Image2 = MakeImage(this, "Image2", 184, 40, 49, 41);
    Image3 = MakeImage(this, "Image3", 120, 40, 33, 41);
    Image4 = MakeImage(this, "Image4", 112, 120, 41, 41);
    Image5 = MakeImage(this, "Image5", 176, 168, 41, 49);
    Image7 = MakeImage(this, "Image7", 152, 256, 41, 41);
    Image9 = MakeImage(this, "Image9", 232, 224, 41, 49);
    Image6 = MakeImage(this, "Image6", 48, 208, 41, 33);
    Image8 = MakeImage(this, "Image8", 56, 264, 41, 33);
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));

    BindMouse(this, Image1, &TForm1::Image1MouseDown, &TForm1::Image1MouseUp);
    QObject::connect(Image1, &ImageControl::MouseMove, this,
                     [this](Qt::KeyboardModifiers m, int x, int y) { Image1MouseMove(m, x, y); });
    BindMouse(this, Image2, &TForm1::Image2MouseDown, &TForm1::Image2MouseUp);
    BindMouse(this, Image3, &TForm1::Image3MouseDown, &TForm1::Image3MouseUp);
    BindMouse(this, Image4, &TForm1::Image4MouseDown, &TForm1::Image4MouseUp);
    BindMouse(this, Image5, &TForm1::Image5MouseDown, &TForm1::Image5MouseUp);
    BindMouse(this, Image9, &TForm1::Image9MouseDown, &TForm1::Image9MouseUp);
    BindMouse(this, Image6, &TForm1::Image6MouseDown, &TForm1::Image6MouseUp);
    QObject::connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
}

std::array<ImageControl*, 10> TForm1::Images() const {
    return {nullptr, Image1, Image2, Image3, Image4, Image5, Image6, Image7, Image8, Image9};
}

TForm4::TForm4(QWidget* parent) : QWidget(parent, Qt::FramelessWindowHint | Qt::Tool) {
    setObjectName(QStringLiteral("Form4"));
    setWindowTitle(QStringLiteral("Form4"));
    setWindowIcon(TavexIcon());
    move(1253, 136);
    resize(454, 93);
    Image1 = MakeImage(this, "Image1", 64, 24, 81, 49);
    Image2 = MakeImage(this, "Image2", 40, 0, 321, 73);
    QObject::connect(Image1, &ImageControl::Click, this, [this] { Image1Click(); });
    QObject::connect(Image1, &ImageControl::MouseMove, this,
                     [this](Qt::KeyboardModifiers m, int x, int y) { Image1MouseMove(m, x, y); });
    hide();
}


}  // namespace tavex
