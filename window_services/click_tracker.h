#pragma once

#include <QMouseEvent>
#include <QWidget>

// A click as buttons have it: the left button pressed and let go over the same
// widget. Moving off before letting go cancels it.
class ClickTracker {
public:
    void press(const QMouseEvent *event) { pressed_ = event->button() == Qt::LeftButton; }
    // Whether this release ends a click on `widget`.
    bool release(const QWidget *widget, const QMouseEvent *event)
    {
        const bool click = pressed_ && event->button() == Qt::LeftButton &&
                           widget->rect().contains(event->position().toPoint());
        pressed_ = false;
        return click;
    }

private:
    bool pressed_ = false;
};
