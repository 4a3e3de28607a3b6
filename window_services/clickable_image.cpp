#include "window_services/clickable_image.h"

ClickableImage::ClickableImage(QWidget *parent)
    : QLabel(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
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
