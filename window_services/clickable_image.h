#pragma once

#include "window_services/click_tracker.h"

#include <QLabel>

// A picture that reports clicks. By default it takes no focus; one that acts as
// a button is also reached with Tab and pressed with Space or Enter.
class ClickableImage : public QLabel {
    Q_OBJECT
public:
    explicit ClickableImage(QWidget *parent = nullptr);

    void setActsAsButton(bool button);
    bool actsAsButton() const { return button_; }

public slots:
    void click() { emit clicked(); }

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    ClickTracker click_;
    bool button_ = false;
};
