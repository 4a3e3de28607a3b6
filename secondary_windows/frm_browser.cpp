#include "secondary_windows/frm_browser.h"

#include "generated/build_info.h"
#include "secondary_windows/web_view.h"
#include "secondary_windows/web_view_loader.h"
#include "window_services/clickable_image.h"
#include "window_services/fonts.h"
#include "window_services/pictures.h"
#include "window_services/shared_window.h"
#include "window_services/status_panel.h"
#include "window_services/twips.h"

#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

QUrl frmBrowser::updateAddress()
{
    return QUrl(QStringLiteral("http://") + QLatin1String(BuildInfo::WebHost) +
                QStringLiteral("/tzk/guncelleme.shtml"));
}

QString frmBrowser::loadingText()
{
    return QStringLiteral("   Güncellme Bildirimi Alınıyor. !");
}

QString frmBrowser::loadedText()
{
    return QStringLiteral("   Sayfa Başarıyla Yüklendi. !");
}

QString frmBrowser::failedText()
{
    return QStringLiteral("   Sayfa Yüklenemedi. !");
}

frmBrowser::frmBrowser(const QString &modulePath, const QUrl &address, QWidget *parent)
    : frmBrowser(address, parent)
{
    // Opened again: the engine is there already, so the page is asked for at once.
    if (WebViewFactory *views = WebViewLoader::loadedFactory(modulePath)) {
        attachView(views);
        return;
    }
    viewPending_ = true;
    WebViewLoader::loadInBackground(modulePath, this, [this](WebViewFactory *views) {
        viewPending_ = false;
        attachView(views);
        // Shown while the engine was loading, with the loading text already up.
        if (!loaded_)
            return;
        if (!browser_) {
            picStatus_->showStatus(failedText());
            return;
        }
        // A turn of the event loop between making the engine and the request,
        // so that a press waiting behind the one is served before the other.
        QTimer::singleShot(0, this, [this] { browser_->navigate(startingAddress_); });
    });
}

frmBrowser::frmBrowser(WebViewFactory *views, const QUrl &address, QWidget *parent)
    : frmBrowser(address, parent)
{
    attachView(views);
}

frmBrowser::frmBrowser(const QUrl &address, QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , startingAddress_(address)
{
    setUpSecondaryWindow(this, "frmBrowser", QStringLiteral("Tzk Design Güncelleme Bildirimi.!"),
                         QSize(twips(5490), twips(7935)));

    picStatus_ = new StatusPanel(this);
    picStatus_->setObjectName(QStringLiteral("PicStatus"));
    picStatus_->setGeometry(twipsRect(120, 240, 4335, 255));
    picStatus_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    picStatus_->setLineWidth(2);
    picStatus_->setBackgroundRole(QPalette::Button);
    picStatus_->setFont(Fonts::verdana(8.25, true));

    browserArea_ = new QWidget(this);
    browserArea_->setObjectName(QStringLiteral("brwWebBrowser"));
    browserArea_->setGeometry(twipsRect(120, 720, 5280, 6615));
    browserArea_->setFocusPolicy(Qt::StrongFocus);
    browserArea_->setAccessibleName(QStringLiteral("Güncelleme bildirimi"));
    auto *areaLayout = new QVBoxLayout(browserArea_);
    areaLayout->setContentsMargins(0, 0, 0, 0);

    auto *notice = new QLabel(QStringLiteral("Güncelleme bildiriminlerini alabilmeniz için "
                                             "bilgisayarınızın internete bağlı olması "
                                             "gerekmektedir."),
                              this);
    notice->setObjectName(QStringLiteral("Label1"));
    notice->setGeometry(twipsRect(240, 7440, 5055, 495));
    notice->setFont(Fonts::verdana(8.25));
    notice->setWordWrap(true);
    notice->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    notice->setAutoFillBackground(true);

    image1_ = new ClickableImage(this);
    image1_->setObjectName(QStringLiteral("Image1"));
    image1_->setGeometry(twipsRect(4560, 120, 840, 540));
    image1_->setPixmap(Pictures::pixmap("reload"));
    // Reloading must not need a mouse.
    image1_->setActsAsButton(true);
    image1_->setAccessibleName(QStringLiteral("Yenile"));
    image1_->setAccessibleDescription(QStringLiteral("Güncelleme bildirimini yeniden yükler"));
    connect(image1_, &ClickableImage::clicked, this, &frmBrowser::Image1_Click);

    setTabOrder(browserArea_, picStatus_);
    setTabOrder(picStatus_, image1_);
    browserArea_->setFocus();
}

frmBrowser::~frmBrowser() = default;

void frmBrowser::attachView(WebViewFactory *views)
{
    if (views)
        browser_.reset(views->createWebView(browserArea_));
    if (!browser_)
        return;
    const bool hadFocus = focusWidget() == browserArea_;
    browserArea_->layout()->addWidget(browser_->widget());
    browserArea_->setFocusProxy(browser_->widget());
    if (hadFocus)
        browser_->widget()->setFocus();
    browser_->setLoadFinishedHandler([this](bool ok) { brwWebBrowser_DownloadComplete(ok); });
}

void frmBrowser::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Loading happens at the first showing; a restore from minimized is no load.
    if (!loaded_) {
        loaded_ = true;
        Form_Load();
    }
}

void frmBrowser::Form_Load()
{
    if (viewPending_) {
        picStatus_->showStatus(loadingText()); // the request follows with the view
        return;
    }
    if (!browser_) {
        // No web engine to be had (its module is missing or broken, or the engine
        // cannot start here): the page cannot load, and the panel says so rather
        // than wait forever.
        picStatus_->showStatus(failedText());
        return;
    }
    // Visible first, then the request, then the loading text: a load that ends
    // within navigate() is overwritten, as it always was.
    browser_->navigate(startingAddress_);
    picStatus_->showStatus(loadingText());
}

void frmBrowser::brwWebBrowser_DownloadComplete(bool ok)
{
    picStatus_->showStatus(ok ? loadedText() : failedText());
}

void frmBrowser::Image1_Click()
{
    if (browser_)
        browser_->refresh();
}
