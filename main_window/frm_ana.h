#pragma once

#include "effects/sounds.h"
#include "window_services/shared_window.h"

#include <QMainWindow>

#include <array>
#include <functional>

class ClickableImage;
class EffectPlayer;
class CommandButton;
class QAction;
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

private:
    void buildLayout();
    void buildMenu();

    void Form_Load();
    void Command_Click(int index);
    void PicStatus_Click();
    void Image1_Click();
    void intro_Click();
    void bilgi_Click();
    void web_Click();
    void cik_Click();
    void endAfterGoodbye();

    Sounds sounds_;
    std::array<CommandButton *, 20> buttons_{};
    StatusPanel *picStatus_ = nullptr;
    ClickableImage *image1_ = nullptr;
    SharedWindow hak_;
    SharedWindow browser_;
    Terminator terminate_;
};
