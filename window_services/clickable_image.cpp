#include "window_services/clickable_image.h"

#include "window_services/accessibility.h"

#include <QKeyEvent>
#include <QStyleOptionFocusRect>
#include <QStylePainter>

ClickableImage::ClickableImage(QWidget *parent)
    : QLabel(parent)
{
    Accessibility::install();
    setFocusPolicy(Qt::NoFocus);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void ClickableImage::setActsAsButton(bool button)
{
    button_ = button;
    setFocusPolicy(button ? Qt::StrongFocus : Qt::NoFocus);
}

void ClickableImage::paintEvent(QPaintEvent *event)
{
    QLabel::paintEvent(event);
    if (!hasFocus())
        return;
    // Where the keyboard is, as on any button.
    QStylePainter painter(this);
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect = rect().adjusted(1, 1, -1, -1);
    painter.drawPrimitive(QStyle::PE_FrameFocusRect, option);
}

void ClickableImage::keyPressEvent(QKeyEvent *event)
{
    const int key = event->key();
    if (button_ && !event->isAutoRepeat() &&
        (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter)) {
        emit clicked();
        return;
    }
    QLabel::keyPressEvent(event);
}

void ClickableImage::mousePressEvent(QMouseEvent *event)
{
    click_.press(event);
}

void ClickableImage::mouseReleaseEvent(QMouseEvent *event)
{
    if (click_.release(this, event))
        emit clicked();
}
