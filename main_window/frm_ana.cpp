#include "main_window/frm_ana.h"

#include "effects/effect_table.h"
#include "effects/pad_settings.h"
#include "effects/sound_import.h"
#include "effects/sounds.h"
#include "generated/build_info.h"
#include "main_window/effect_button.h"
#include "main_window/microphone_setting.h"
#include "secondary_windows/frm_browser.h"
#include "secondary_windows/frm_hak.h"
#include "secondary_windows/web_view_loader.h"
#include "window_services/clickable_image.h"
#include "window_services/fonts.h"
#include "window_services/pictures.h"
#include "window_services/question_box.h"
#include "window_services/status_panel.h"
#include "window_services/twips.h"
#include "window_services/window_icon.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenuBar>
#include <QShortcut>

#include <algorithm>
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
    setProgramIcon(this);
    setFont(Fonts::windowDefault());
    buildLayout();
    buildMenu();
    buildContextMenu();
    showOwnCaptions();
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
        auto *button = new EffectButton(QString::fromUtf8(row.caption), client);
        button->setObjectName(QStringLiteral("Command%1").arg(i + 1));
        button->setGeometry(buttonRect(i));
        connect(button, &QPushButton::clicked, this, [this, i] { Command_Click(i); });
        // Taken once the drop is over, so that the source is not kept waiting.
        connect(
            button, &EffectButton::fileDropped, this,
            [this, i](const QString &file) { takeSound(i, file); }, Qt::QueuedConnection);
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

void frmAna::buildContextMenu()
{
    contextMenu_ = new QMenu(this);
    contextMenu_->setObjectName(QStringLiteral("contextMenu"));
    contextMenu_->setAccessibleName(QStringLiteral("Zembra menüsü"));
    const auto addEntry = [this](const char *name, const QString &caption,
                                 void (frmAna::*handler)(int)) {
        auto *action = new QAction(caption, this); // kept when the menu is cleared
        action->setObjectName(QLatin1String(name));
        connect(action, &QAction::triggered, this, [this, handler] {
            if (menuButton_ >= 0)
                (this->*handler)(menuButton_);
        });
        buttonActions_.append(action);
    };
    addEntry("chooseSound", QStringLiteral("Ses &dosyası seç…"), &frmAna::chooseSound);
    addEntry("rename", QStringLiteral("&Adını değiştir…"), &frmAna::renameButton);
    addEntry("backToKit", QStringLiteral("&Kitin sesine dön"), &frmAna::backToKit);
}

void frmAna::setMicrophone(MicrophoneSetting &setting)
{
    auto *action = new QAction(QStringLiteral("&Mikrofona da çal"), this);
    action->setObjectName(QStringLiteral("intoMicrophone"));
    action->setCheckable(true);
    action->setChecked(setting.isOn());
    // Either way round: the D-Bus property changes it too.
    connect(action, &QAction::toggled, &setting, &MicrophoneSetting::setOn);
    connect(&setting, &MicrophoneSetting::changed, action, &QAction::setChecked);
    windowActions_.append(action);
}

void frmAna::contextMenuEvent(QContextMenuEvent *event)
{
    // From the keyboard the menu belongs to the button with the focus, from the
    // mouse to the one under the pointer.
    QWidget *on = event->reason() == QContextMenuEvent::Keyboard ? QApplication::focusWidget()
                                                                 : childAt(event->pos());
    const auto found = std::find(buttons_.begin(), buttons_.end(), on);
    menuButton_ = found == buttons_.end() ? -1 : int(found - buttons_.begin());
    contextMenu_->clear();
    if (menuButton_ >= 0) {
        const EffectButton *button = buttons_[std::size_t(menuButton_)];
        const QString own =
            sounds_.ownFile(QLatin1String(Effects::Table[std::size_t(menuButton_)].file));
        buttonActions_.last()->setEnabled(button->hasOwnCaption() || QFileInfo(own).isFile());
        contextMenu_->addActions(buttonActions_);
    }
    if (!windowActions_.isEmpty()) {
        if (!contextMenu_->isEmpty())
            contextMenu_->addSeparator();
        contextMenu_->addActions(windowActions_);
    }
    event->accept();
    if (contextMenu_->isEmpty())
        return;
    const QPoint at = event->reason() == QContextMenuEvent::Keyboard && on
                          ? on->mapToGlobal(on->rect().center())
                          : event->globalPos();
    contextMenu_->popup(at);
}

void frmAna::showOwnCaptions()
{
    const QMap<int, QString> captions = PadSettings::captions();
    for (auto it = captions.begin(); it != captions.end(); ++it)
        buttons_[std::size_t(it.key() - 1)]->setCaption(it.value(), true);
}

void frmAna::chooseSound(int index)
{
    QFileDialog dialog(this, QStringLiteral("Ses dosyası seç"), QDir::homePath(),
                       QStringLiteral("Ses dosyaları (*.wav *.wave *.rf64 *.aif *.aiff *.aifc "
                                      "*.flac *.ogg *.oga *.opus *.mp3 *.mp2 *.mp1 *.tzk);;"
                                      "Tüm dosyalar (*)"));
    dialog.setObjectName(QStringLiteral("soundDialog"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        takeSound(index, dialog.selectedFiles().constFirst());
}

void frmAna::takeSound(int index, const QString &file)
{
    const QString problem = SoundImport::copy(
        file, sounds_.ownFile(QLatin1String(Effects::Table[std::size_t(index)].file)));
    picStatus_->showStatus(problem.isEmpty() ? QStringLiteral("Yeni ses hazır !") : problem);
}

void frmAna::renameButton(int index)
{
    EffectButton *button = buttons_[std::size_t(index)];
    QInputDialog dialog(this);
    dialog.setObjectName(QStringLiteral("renameDialog"));
    dialog.setWindowTitle(QStringLiteral("Adını değiştir"));
    dialog.setLabelText(
        QStringLiteral("Düğmenin adı (en çok %1 harf):").arg(PadSettings::MaxCaptionLength));
    dialog.setTextValue(button->caption());
    if (auto *edit = dialog.findChild<QLineEdit *>())
        edit->setMaxLength(PadSettings::MaxCaptionLength);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QString caption = dialog.textValue();
    QString problem = PadSettings::captionProblem(caption);
    if (problem.isEmpty() && !PadSettings::setCaption(index + 1, caption))
        problem = QStringLiteral("Ayarlar yazılamadı !");
    if (!problem.isEmpty()) {
        picStatus_->showStatus(problem);
        return;
    }
    button->setCaption(caption, true);
    picStatus_->showStatus(caption + QStringLiteral(" !"));
}

void frmAna::backToKit(int index)
{
    const EffectRow &row = Effects::Table[std::size_t(index)];
    const QString own = sounds_.ownFile(QLatin1String(row.file));
    if ((QFileInfo(own).isFile() && !QFile::remove(own)) ||
        !PadSettings::removeCaption(index + 1)) {
        picStatus_->showStatus(QStringLiteral("Diske yazılamadı !"));
        return;
    }
    buttons_[std::size_t(index)]->setCaption(QString::fromUtf8(row.caption), false);
    picStatus_->showStatus(QString::fromUtf8(row.statusText));
}

void frmAna::Form_Load()
{
    sounds_.PlayEffect(QLatin1String(Effects::IntroFile));
}

void frmAna::Command_Click(int index)
{
    const EffectRow &row = Effects::Table[std::size_t(index)];
    const EffectButton *button = buttons_[std::size_t(index)];
    picStatus_->showStatus(button->hasOwnCaption() ? button->caption() + QStringLiteral(" !")
                                                   : QString::fromUtf8(row.statusText));
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
