#include "frm_browser.h"

#include "branding.h"
#include "clickable_image.h"
#include "effects/status_panel.h"
#include "fonts.h"
#include "pictures.h"
#include "shared_window.h"
#include "twips.h"
#include "web_view.h"

#include <QLabel>
#include <QVBoxLayout>

QUrl frmBrowser::updateAddress()
{
    return QUrl(QStringLiteral("http://") + QLatin1String(WebHost) +
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

frmBrowser::frmBrowser(WebViewFactory *views, const QUrl &address, QWidget *parent)
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
    auto *areaLayout = new QVBoxLayout(browserArea_);
    areaLayout->setContentsMargins(0, 0, 0, 0);
    if (views)
        browser_.reset(views->createWebView(browserArea_));
    if (browser_) {
        areaLayout->addWidget(browser_->widget());
        browserArea_->setFocusProxy(browser_->widget());
        browser_->setLoadFinishedHandler([this](bool ok) { brwWebBrowser_DownloadComplete(ok); });
    }

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
    connect(image1_, &ClickableImage::clicked, this, &frmBrowser::Image1_Click);

    setTabOrder(browserArea_, picStatus_);
    browserArea_->setFocus();
}

frmBrowser::~frmBrowser() = default;

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
    // Visible first, then the request, then the loading text: a load that ends
    // within navigate() is overwritten, as it always was.
    if (browser_)
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
