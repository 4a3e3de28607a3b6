#pragma once

#include "effects/sounds.h"
#include "window_services/shared_window.h"

#include <QMainWindow>

#include <array>
#include <functional>

class ClickableImage;
class EffectPlayer;
class EffectButton;
class MicrophoneSetting;
class QAction;
class QMenu;
class StatusPanel;

// The main window: the effect pad, its status panel, the title banner and the menu.
class frmAna : public QMainWindow {
    Q_OBJECT
public:
    // Plays through `player`, which must outlive the window.
    explicit frmAna(EffectPlayer &player, QWidget *parent = nullptr);
    ~frmAna() override;

    const Sounds &sounds() const { return sounds_; }
    // What a click on effect button `number`, 1 to 20, does.
    void clickEffectButton(int number);
    SharedWindow &hakWindow() { return hak_; }
    // The context menu's "Mikrofona da çal" shows and changes `setting`, which
    // must outlive the window.
    void setMicrophone(MicrophoneSetting &setting);
    SharedWindow &browserWindow() { return browser_; }

    // Ends the process at once as the user sees it; tests replace it.
    using Terminator = std::function<void()>;
    void setTerminator(Terminator terminator) { terminate_ = std::move(terminator); }

signals:
    // The exit command is ending the process: the windows go now and the closing
    // sound plays out before it ends, with no event loop in between.
    void leaving();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void buildLayout();
    void buildMenu();
    void buildContextMenu();
    void showOwnCaptions();

    void Form_Load();
    void Command_Click(int index);
    void PicStatus_Click();
    void Image1_Click();
    void intro_Click();
    void bilgi_Click();
    void web_Click();
    void cik_Click();
    void endAfterGoodbye();

    // The context menu's entries for one button, 0 to 19.
    void chooseSound(int index);
    void takeSound(int index, const QString &file);
    void renameButton(int index);
    void backToKit(int index);

    Sounds sounds_;
    std::array<EffectButton *, 20> buttons_{};
    QMenu *contextMenu_ = nullptr;
    // The entries for the button the menu was opened on, above the window's own.
    QList<QAction *> buttonActions_;
    // The window's own entries, offered wherever the window is right-clicked.
    QList<QAction *> windowActions_;
    int menuButton_ = -1;
    StatusPanel *picStatus_ = nullptr;
    ClickableImage *image1_ = nullptr;
    SharedWindow hak_;
    SharedWindow browser_;
    Terminator terminate_;
};
