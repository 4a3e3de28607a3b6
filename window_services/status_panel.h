#pragma once

#include "window_services/click_tracker.h"

#include <QFrame>
#include <QPixmap>
#include <QString>

// A picture panel that shows one line of status text over its background.
// Every message clears the panel first, so only the latest line is visible.
class StatusPanel : public QFrame {
    Q_OBJECT
public:
    explicit StatusPanel(QWidget *parent = nullptr);

    void setBackground(const QPixmap &picture);
    void setTextColor(const QColor &color);

    // Clears the panel, then prints the text as one line at the top-left corner.
    void showStatus(const QString &text);
    QString text() const { return text_; }

signals:
    void clicked();
    void shown(const QString &text);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    QPixmap background_;
    QColor textColor_;
    QString text_;
    ClickTracker click_;
};
