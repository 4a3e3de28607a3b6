#include "window_services/status_panel.h"

#include "window_services/accessibility.h"

#include <QAccessible>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

StatusPanel::StatusPanel(QWidget *parent)
    : QFrame(parent)
    , textColor_(palette().color(QPalette::ButtonText))
{
    Accessibility::install();
    setFocusPolicy(Qt::StrongFocus);
}

void StatusPanel::setBackground(const QPixmap &picture)
{
    background_ = picture;
    update();
}

void StatusPanel::setTextColor(const QColor &color)
{
    textColor_ = color;
    update();
}

void StatusPanel::showStatus(const QString &text)
{
    text_ = text;
    // A screen reader speaks the panel's name when it changes, and each print
    // is news, even of the same text again.
    const QString name = text.trimmed();
    if (accessibleName() == name) {
        QAccessibleEvent event(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    } else {
        setAccessibleName(name);
    }
    // Painted on the next pass of the event loop, a fraction of a millisecond away;
    // painting here would hold back the sound request that follows.
    update();
    emit shown(text);
}

void StatusPanel::paintEvent(QPaintEvent *event)
{
    QFrame::paintEvent(event); // the frame, where there is one
    QPainter painter(this);
    const QRect area = contentsRect();
    painter.setClipRect(area);
    painter.fillRect(area, palette().color(backgroundRole()));
    if (!background_.isNull())
        painter.drawPixmap(area.topLeft(), background_); // own size, never stretched
    if (text_.isEmpty())
        return;
    // One line from the top-left corner, no box behind it, cut off at the edge.
    painter.setFont(font());
    painter.setPen(textColor_);
    painter.drawText(area.left(), area.top() + fontMetrics().ascent(), text_);
}

void StatusPanel::mousePressEvent(QMouseEvent *event)
{
    click_.press(event);
    QFrame::mousePressEvent(event);
}

void StatusPanel::mouseReleaseEvent(QMouseEvent *event)
{
    if (click_.release(this, event))
        emit clicked();
}

void StatusPanel::keyPressEvent(QKeyEvent *event)
{
    // Keys do nothing here, but must not reach the window (no beep, no action).
    event->accept();
}
