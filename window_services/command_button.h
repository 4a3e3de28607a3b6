#pragma once

#include <QPushButton>

// A push button that Enter presses while it has the focus, as Space does, without
// ever being a window's default button.
class CommandButton : public QPushButton {
    Q_OBJECT
public:
    explicit CommandButton(const QString &caption, QWidget *parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent *event) override;
};
