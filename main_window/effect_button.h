#pragma once

#include "window_services/command_button.h"

// One button of the pad: takes a sound file dropped on it, and shows a caption
// too wide for its face cut short with an ellipsis, whole in its tooltip and
// to screen readers.
class EffectButton : public CommandButton {
    Q_OBJECT
public:
    explicit EffectButton(const QString &caption, QWidget *parent = nullptr);

    // The kit's caption shows as it always did; a caption of the user's own
    // also names the button in its tooltip and to screen readers.
    void setCaption(const QString &caption, bool own);
    QString caption() const { return caption_; }
    bool hasOwnCaption() const { return own_; }

signals:
    void fileDropped(const QString &path);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void changeEvent(QEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void showCaption();

    QString caption_;
    bool own_ = false;
};
