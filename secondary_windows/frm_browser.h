#pragma once

#include <QUrl>
#include <QWidget>

#include <memory>

class ClickableImage;
class StatusPanel;
class WebView;
class WebViewFactory;

// The update-notice window: the maker's update page in an embedded browser, with
// the state of its loading in a status panel.
class frmBrowser : public QWidget {
    Q_OBJECT
public:
    // The web view comes from the module at `modulePath`, loaded in the
    // background: the window shows at once and its page follows. The address is
    // fixed in the program; tests point it at a local server.
    explicit frmBrowser(const QString &modulePath, const QUrl &address = updateAddress(),
                        QWidget *parent = nullptr);
    // The web view comes from `views` at once; without one the page cannot load.
    explicit frmBrowser(WebViewFactory *views, const QUrl &address = updateAddress(),
                        QWidget *parent = nullptr);
    ~frmBrowser() override;

    static QUrl updateAddress();
    static QString loadingText();
    static QString loadedText();
    static QString failedText();

protected:
    void showEvent(QShowEvent *event) override;

private:
    frmBrowser(const QUrl &address, QWidget *parent);
    void attachView(WebViewFactory *views);
    void Form_Load();
    void brwWebBrowser_DownloadComplete(bool ok);
    void Image1_Click();

    const QUrl startingAddress_;
    StatusPanel *picStatus_;
    QWidget *browserArea_;
    ClickableImage *image1_;
    std::unique_ptr<WebView> browser_;
    bool loaded_ = false;
    bool viewPending_ = false;
};
