#include "main_window/frm_ana.h"

#include "effects/effect_table.h"
#include "effects/sounds.h"
#include "generated/build_info.h"
#include "secondary_windows/frm_browser.h"
#include "secondary_windows/frm_hak.h"
#include "secondary_windows/web_view_loader.h"
#include "window_services/clickable_image.h"
#include "window_services/command_button.h"
#include "window_services/fonts.h"
#include "window_services/pictures.h"
#include "window_services/question_box.h"
#include "window_services/status_panel.h"
#include "window_services/twips.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMenuBar>
#include <QShortcut>

#include <cstdlib>

namespace {

const QSize ClientSize(twips(5925), twips(4860));
const QRect PicStatusRect = twipsRect(3480, 120, 2295, 480);
const QRect Image1Rect = twipsRect(360, 0, 2940, 690);
const QColor StatusTextColor(255, 255, 192);

// Button N stands in column (N-1) mod 4 and row (N-1) div 4 of the pad.
QRect buttonRect(int index)
{
    return twipsRect(360 + 1440 * (index % 4), 840 + 840 * (index / 4), 1095, 495);
}

} // namespace

frmAna::frmAna(EffectPlayer &player, QWidget *parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint)
    , sounds_(player)
    , hak_([] { return new frmHak; })
    , browser_([] { return new frmBrowser(WebViewLoader::modulePath()); })
    , terminate_([this] { endAfterGoodbye(); })
{
    setObjectName(QStringLiteral("frmAna"));
    setWindowTitle(QStringLiteral("Zembra v") + QLatin1String(BuildInfo::Version) +
                   QStringLiteral(" - ") + QLatin1String(BuildInfo::WebHost));
    setWindowIcon(Pictures::windowIcon());
    setFont(Fonts::windowDefault());
    buildLayout();
    buildMenu();
    resize(ClientSize.width(), ClientSize.height() + menuBar()->sizeHint().height());
    Form_Load();
}

frmAna::~frmAna() = default;

void frmAna::buildLayout()
{
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);

    // Created from the last button to the first, then the panel, Command1 and the banner.
    for (int i = Effects::Count - 1; i >= 0; --i) {
        const EffectRow &row = Effects::Table[std::size_t(i)];
        auto *button = new CommandButton(QString::fromUtf8(row.caption), client);
        button->setObjectName(QStringLiteral("Command%1").arg(i + 1));
        button->setGeometry(buttonRect(i));
        connect(button, &QPushButton::clicked, this, [this, i] { Command_Click(i); });
        buttons_[std::size_t(i)] = button;
        if (i == 1) {
            picStatus_ = new StatusPanel(client);
            picStatus_->setObjectName(QStringLiteral("PicStatus"));
            picStatus_->setGeometry(PicStatusRect);
            picStatus_->setFrameShape(QFrame::NoFrame);
            picStatus_->setBackgroundRole(QPalette::Base);
            picStatus_->setBackground(Pictures::pixmap("panel"));
            picStatus_->setFont(Fonts::verdana(12, true));
            picStatus_->setTextColor(StatusTextColor);
            connect(picStatus_, &StatusPanel::clicked, this, &frmAna::PicStatus_Click);
        }
    }

    image1_ = new ClickableImage(client);
    image1_->setObjectName(QStringLiteral("Image1"));
    image1_->setGeometry(Image1Rect);
    image1_->setPixmap(Pictures::pixmap("banner"));
    image1_->setAccessibleName(QStringLiteral("Zembra"));
    image1_->setAccessibleDescription(QStringLiteral("Zembra başlık resmi"));
    connect(image1_, &ClickableImage::clicked, this, &frmAna::Image1_Click);

    QWidget::setTabOrder(buttons_[0], picStatus_);
    QWidget::setTabOrder(picStatus_, buttons_[1]);
    for (std::size_t i = 1; i + 1 < buttons_.size(); ++i)
        QWidget::setTabOrder(buttons_[i], buttons_[i + 1]);
    buttons_[0]->setFocus();
}

void frmAna::buildMenu()
{
    QMenu *hak = menuBar()->addMenu(QStringLiteral("Hakkında"));
    hak->setObjectName(QStringLiteral("hak"));
    const auto addCommand = [this, hak](const char *name, const QString &caption, QKeySequence key,
                                        void (frmAna::*handler)()) {
        QAction *action = hak->addAction(caption);
        action->setObjectName(QLatin1String(name));
        action->setShortcut(key);
        connect(action, &QAction::triggered, this, handler);
    };
    addCommand("intro", QStringLiteral("&Intro"), QKeySequence(Qt::CTRL | Qt::Key_I),
               &frmAna::intro_Click);
    addCommand("bilgi", QStringLiteral("&Bilgi"), QKeySequence(Qt::CTRL | Qt::Key_B),
               &frmAna::bilgi_Click);
    addCommand("web", QStringLiteral("&Web site"), QKeySequence(Qt::CTRL | Qt::Key_W),
               &frmAna::web_Click);
    hak->addSeparator()->setObjectName(QStringLiteral("bos"));
    addCommand("cik", QStringLiteral("&Çık"), QKeySequence(Qt::CTRL | Qt::Key_C),
               &frmAna::cik_Click);

    // F10 reaches the menu bar as on the classic desktop.
    auto *f10 = new QShortcut(QKeySequence(Qt::Key_F10), this);
    connect(f10, &QShortcut::activated, this,
            [this, hak] { menuBar()->setActiveAction(hak->menuAction()); });
}

void frmAna::Form_Load()
{
    sounds_.PlayEffect(QLatin1String(Effects::IntroFile));
}

void frmAna::Command_Click(int index)
{
    const EffectRow &row = Effects::Table[std::size_t(index)];
    picStatus_->showStatus(QString::fromUtf8(row.statusText));
    sounds_.PlayEffect(QLatin1String(row.file));
}

void frmAna::clickEffectButton(int number)
{
    buttons_.at(std::size_t(number - 1))->click();
}

void frmAna::PicStatus_Click()
{
    picStatus_->showStatus(QLatin1String(Effects::VersionBanner));
}

void frmAna::Image1_Click()
{
    hak_.show();
}

void frmAna::intro_Click()
{
    sounds_.PlayEffect(QLatin1String(Effects::IntroFile));
}

void frmAna::bilgi_Click()
{
    hak_.show();
}

void frmAna::web_Click()
{
    browser_.show();
}

void frmAna::cik_Click()
{
    sounds_.PlayEffect(QLatin1String(Effects::ClosingFile));
    terminate_();
}

// Every window goes at once; the process stays, out of sight, until the closing
// sound has been heard. A signal in that time ends it at once, as always.
void frmAna::endAfterGoodbye()
{
    emit leaving();
    for (QWidget *window : QApplication::topLevelWidgets())
        window->hide();
    QGuiApplication::sync();
    sounds_.playOut();
    std::_Exit(0);
}

void frmAna::closeEvent(QCloseEvent *event)
{
    const bool yes = QuestionBox::ask(this, QStringLiteral("Zembra"),
                                      QStringLiteral("Zembra 'den çıkmak istiyormusunuz?"));
    sounds_.PlayEffect(QLatin1String(Effects::ClosingFile));
    browser_.unload();
    // An about window left open keeps the program running; a minimised one
    // would keep it running out of sight.
    if (yes && hak_.isLoaded() && hak_.window()->isMinimized())
        hak_.show();
    event->setAccepted(yes);
}

void frmAna::changeEvent(QEvent *event)
{
    // The frame offers no maximize; undo one that a window manager forces anyway.
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMaximized))
        setWindowState(windowState() & ~Qt::WindowMaximized);
    QMainWindow::changeEvent(event);
}
